#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/wire/Segmenter.h"
#include "tests/support/InternetChecksum.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A heap copy exactly `bytes.size()` long, so that AddressSanitizer reports any read past it.
class CExactBuffer {
  public:
    explicit CExactBuffer(const Bytes& bytes)
        : m_size(bytes.size()), m_data(new std::uint8_t[bytes.size()]) {
        std::copy(bytes.begin(), bytes.end(), m_data.get());
    }
    const std::uint8_t* Data() const { return m_data.get(); }
    int Size() const { return static_cast<int>(m_size); }
    Bytes Copy() const { return Bytes(m_data.get(), m_data.get() + m_size); }

  private:
    std::size_t m_size;
    std::unique_ptr<std::uint8_t[]> m_data;
};

std::uint16_t Get16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}
std::uint32_t Get32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(Get16(at)) << 16 | Get16(at + 2);
}
void Put16(std::uint8_t* at, unsigned value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}

// Checksums are checked, not recomputed.
bool IpChecksumGood(const Bytes& packet) {
    const int ihl = (packet[0] & 0x0F) * 4;
    return testsupport::ChecksumHolds(packet.data(), static_cast<std::size_t>(ihl));
}
bool TcpChecksumGood(const Bytes& packet) {
    const int ihl = (packet[0] & 0x0F) * 4;
    const int tcpLength = Get16(&packet[2]) - ihl;
    Bytes block(packet.begin() + 12, packet.begin() + 20);  // source and destination
    block.push_back(0);
    block.push_back(6);
    block.push_back(static_cast<std::uint8_t>(tcpLength >> 8));
    block.push_back(static_cast<std::uint8_t>(tcpLength));
    block.insert(block.end(), packet.begin() + ihl, packet.begin() + ihl + tcpLength);
    return testsupport::ChecksumHolds(block.data(), block.size());
}

Bytes Pattern(int length, int seed) {
    Bytes bytes(static_cast<std::size_t>(length));
    for (int i = 0; i < length; ++i)
        bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i * 7 + seed);
    return bytes;
}

// IPv4 header with the given options; total length, checksum left for the caller to fill.
Bytes IpHeader(std::uint8_t protocol, unsigned flagsAndOffset, unsigned id,
               const Bytes& options = {}) {
    Bytes h = {0x45, 0x00, 0, 0, 0, 0, 0, 0, 64, protocol, 0, 0, 10, 1, 0, 2, 10, 2, 0, 7};
    h[0] = static_cast<std::uint8_t>(0x40 | (20 + options.size()) / 4);
    Put16(&h[4], id);
    Put16(&h[6], flagsAndOffset);
    h.insert(h.end(), options.begin(), options.end());
    return h;
}

// A merged TCP packet as a capture shows it: timestamps option, unfinished TCP checksum.
Bytes MergedTcp(int payloadLength, std::uint8_t flags, std::uint32_t seq, unsigned id) {
    Bytes packet = IpHeader(6, 0x4000, id);
    const Bytes tcp = {0x9c, 0x40, 0x14, 0x51, static_cast<std::uint8_t>(seq >> 24),
                       static_cast<std::uint8_t>(seq >> 16), static_cast<std::uint8_t>(seq >> 8),
                       static_cast<std::uint8_t>(seq), 0x01, 0x02, 0x03, 0x04, 0x80, flags, 0x01,
                       0xf5, 0xab, 0xcd, 0x00, 0x00,
                       // NOP, NOP, timestamps (kind 8, length 10, TSval, TSecr)
                       0x01, 0x01, 0x08, 0x0a, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    packet.insert(packet.end(), tcp.begin(), tcp.end());
    const Bytes payload = Pattern(payloadLength, 3);
    packet.insert(packet.end(), payload.begin(), payload.end());
    Put16(&packet[2], static_cast<unsigned>(packet.size()));
    return packet;
}

Bytes Udp(int totalLength, unsigned flagsAndOffset, const Bytes& options = {}) {
    Bytes packet = IpHeader(17, flagsAndOffset, 0x4242, options);
    const Bytes payload = Pattern(totalLength - static_cast<int>(packet.size()), 11);
    packet.insert(packet.end(), payload.begin(), payload.end());
    Put16(&packet[2], static_cast<unsigned>(packet.size()));
    return packet;
}

struct Output {
    CSegmenter::Action action;
    std::vector<Bytes> packets;
    std::vector<CSegmenter::Segment> segments;
};

Output Cut(CSegmenter& segmenter, const CExactBuffer& in, const std::uint8_t* header = nullptr) {
    Output out;
    out.action = segmenter.Begin(in.Data(), in.Size(), header);
    for (CSegmenter::Segment s; segmenter.Next(s);) {
        out.segments.push_back(s);
        out.packets.emplace_back(s.packet, s.packet + s.length);
        if (out.packets.size() > 70000) break;
    }
    return out;
}

Bytes TcpPayload(const Bytes& packet) {
    const int start = (packet[0] & 0x0F) * 4 + (packet[(packet[0] & 0x0F) * 4 + 12] >> 4) * 4;
    return Bytes(packet.begin() + start, packet.begin() + Get16(&packet[2]));
}

// Puts fragments back together by their offsets; fails the test on holes, overlaps or a missing
// last fragment. Returns the payload.
Bytes Reassemble(const std::vector<Bytes>& fragments, unsigned firstOffset, bool lastMf) {
    Bytes payload;
    unsigned expected = firstOffset * 8;
    for (std::size_t i = 0; i < fragments.size(); ++i) {
        const Bytes& f = fragments[i];
        const int ihl = (f[0] & 0x0F) * 4;
        const unsigned fo = Get16(&f[6]);
        EXPECT_EQ((fo & 0x1FFF) * 8, expected) << "fragment " << i;
        const bool mf = (fo & 0x2000) != 0;
        EXPECT_EQ(mf, i + 1 < fragments.size() ? true : lastMf) << "fragment " << i;
        const int data = Get16(&f[2]) - ihl;
        if (i + 1 < fragments.size()) {
            EXPECT_EQ(data % 8, 0) << "fragment " << i;
        }
        payload.insert(payload.end(), f.begin() + ihl, f.begin() + ihl + data);
        expected += static_cast<unsigned>(data);
    }
    return payload;
}

// A tiny merged segment cut with MTU 60, compared byte for byte with segments built by hand:
// ID and sequence number wrap, CWR first, PSH/FIN last, fresh checksums.
TEST(SegmenterTcp, SmallPacketMatchesHandBuiltSegments) {
    Bytes original = {0x45, 0x00, 0x00, 0x55, 0xff, 0xfe, 0x40, 0x00, 0x40, 0x06,
                      0x26, 0x99, 0x0a, 0x01, 0x00, 0x02, 0x0a, 0x02, 0x00, 0x07,
                      0x9c, 0x40, 0x14, 0x51, 0xff, 0xff, 0xff, 0xf0, 0x01, 0x02,
                      0x03, 0x04, 0x50, 0x99, 0x20, 0x00, 0x12, 0x34, 0x00, 0x00};
    const Bytes payload = Pattern(45, 3);
    original.insert(original.end(), payload.begin(), payload.end());
    const std::vector<Bytes> expectedHeaders = {
        {0x45, 0x00, 0x00, 0x3c, 0xff, 0xfe, 0x40, 0x00, 0x40, 0x06, 0x26, 0xb2, 0x0a, 0x01,
         0x00, 0x02, 0x0a, 0x02, 0x00, 0x07, 0x9c, 0x40, 0x14, 0x51, 0xff, 0xff, 0xff, 0xf0,
         0x01, 0x02, 0x03, 0x04, 0x50, 0x90, 0x20, 0x00, 0x2f, 0xd0, 0x00, 0x00},
        {0x45, 0x00, 0x00, 0x3c, 0xff, 0xff, 0x40, 0x00, 0x40, 0x06, 0x26, 0xb1, 0x0a, 0x01,
         0x00, 0x02, 0x0a, 0x02, 0x00, 0x07, 0x9c, 0x40, 0x14, 0x51, 0x00, 0x00, 0x00, 0x04,
         0x01, 0x02, 0x03, 0x04, 0x50, 0x10, 0x20, 0x00, 0xb4, 0xc0, 0x00, 0x00},
        {0x45, 0x00, 0x00, 0x2d, 0x00, 0x00, 0x40, 0x00, 0x40, 0x06, 0x26, 0xc0, 0x0a, 0x01,
         0x00, 0x02, 0x0a, 0x02, 0x00, 0x07, 0x9c, 0x40, 0x14, 0x51, 0x00, 0x00, 0x00, 0x18,
         0x01, 0x02, 0x03, 0x04, 0x50, 0x19, 0x20, 0x00, 0x4b, 0xb9, 0x00, 0x00}};

    CSegmenter segmenter(60);
    const CExactBuffer in(original);
    const Output out = Cut(segmenter, in);
    ASSERT_EQ(out.action, CSegmenter::Action::kSegment);
    ASSERT_EQ(out.packets.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        Bytes expected = expectedHeaders[static_cast<std::size_t>(i)];
        expected.insert(expected.end(), payload.begin() + 20 * i,
                        payload.begin() + std::min(45, 20 * i + 20));
        EXPECT_EQ(out.packets[static_cast<std::size_t>(i)], expected) << "segment " << i;
    }
    EXPECT_EQ(in.Copy(), original);  // the input is only read
}

// The case seen on a veth with GRO: 45 segments' worth of payload in one capture.
TEST(SegmenterTcp, MergedPacketBecomesWireSegments) {
    constexpr int kMss = 1500 - 20 - 32;  // 1448
    constexpr int kPayload = 44 * kMss + 1000;
    constexpr std::uint32_t kSeq = 0xFFFF0000;
    const Bytes original = MergedTcp(kPayload, 0x80 | 0x10 | 0x08 | 0x01, kSeq, 0xFFF0);
    const std::uint8_t ethernet[14] = {1, 2, 3, 4, 5, 6, 0, 0xd0, 0xbe, 0xd0, 0xbe, 0xd0, 8, 0};

    CSegmenter segmenter(1500);
    const CExactBuffer in(original);
    const Output out = Cut(segmenter, in, ethernet);
    ASSERT_EQ(out.action, CSegmenter::Action::kSegment);
    ASSERT_EQ(out.packets.size(), 45u);
    EXPECT_EQ(segmenter.SegmentCount(), 45);
    EXPECT_EQ(segmenter.SegmentBytes(), 45 * 52 + kPayload);

    Bytes joined;
    std::uint32_t seq = kSeq;
    for (std::size_t i = 0; i < 45; ++i) {
        SCOPED_TRACE(i);
        const Bytes& p = out.packets[i];
        const bool last = i == 44;
        EXPECT_EQ(p.size(), last ? 52u + 1000 : 1500u);
        EXPECT_EQ(Get16(&p[2]), p.size());
        EXPECT_EQ(Get16(&p[4]), (0xFFF0 + i) & 0xFFFF);
        EXPECT_EQ(Get16(&p[6]), 0x4000);  // DF kept, not a fragment
        EXPECT_EQ(Get32(&p[24]), seq);
        EXPECT_EQ(p[33], (i == 0 ? 0x80 : 0) | 0x10 | (last ? 0x09 : 0));
        EXPECT_TRUE(std::equal(p.begin() + 40, p.begin() + 52, original.begin() + 40));
        EXPECT_TRUE(std::equal(p.begin() + 12, p.begin() + 20, original.begin() + 12));
        EXPECT_TRUE(IpChecksumGood(p));
        EXPECT_TRUE(TcpChecksumGood(p));
        // Each built segment follows the given Ethernet header, ready to inject as a frame.
        ASSERT_NE(out.segments[i].headroom, nullptr);
        EXPECT_EQ(out.segments[i].headroom + 14, out.segments[i].packet);
        EXPECT_EQ(std::memcmp(out.segments[i].packet - 14, ethernet, 14), 0);
        const Bytes data = TcpPayload(p);
        joined.insert(joined.end(), data.begin(), data.end());
        seq += static_cast<std::uint32_t>(data.size());
    }
    EXPECT_EQ(joined, TcpPayload(original));
    EXPECT_EQ(segmenter.GetTotals().segmented, 1u);
    EXPECT_EQ(segmenter.GetTotals().packetsOut, 45u);
    EXPECT_EQ(segmenter.GetTotals().bytesOut, static_cast<std::uint64_t>(45 * 52 + kPayload));
}

// Odd MTUs give odd payload sizes (checksum of an odd tail); padding behind the IP total length
// must not leak into the last segment; the input stays unchanged.
TEST(SegmenterTcp, AnyMtuPaddingIgnoredInputUnchanged) {
    for (int mtu : {68, 576, 1001, 1280, 1500, 9000}) {
        SCOPED_TRACE(mtu);
        Bytes original = MergedTcp(20000, 0x18, 7, 1);
        const Bytes withPadding = [&] {
            Bytes b = original;
            b.insert(b.end(), 6, 0xEE);
            return b;
        }();
        CSegmenter segmenter(mtu);
        const CExactBuffer in(withPadding);
        const Output out = Cut(segmenter, in);
        ASSERT_EQ(out.action, CSegmenter::Action::kSegment);
        Bytes joined;
        for (const Bytes& p : out.packets) {
            EXPECT_LE(static_cast<int>(p.size()), mtu);
            EXPECT_TRUE(IpChecksumGood(p));
            EXPECT_TRUE(TcpChecksumGood(p));
            const Bytes data = TcpPayload(p);
            joined.insert(joined.end(), data.begin(), data.end());
        }
        EXPECT_EQ(joined, TcpPayload(original));
        EXPECT_EQ(in.Copy(), withPadding);
    }
}

TEST(SegmenterTcp, CannotBeSegmentedIsDropped) {
    // MTU below the 52 bytes of headers: MSS would be negative.
    CSegmenter tiny(52);
    const CExactBuffer in(MergedTcp(100, 0x10, 1, 1));
    EXPECT_EQ(Cut(tiny, in).action, CSegmenter::Action::kDrop);
    CSegmenter::Segment s;
    EXPECT_FALSE(tiny.Next(s));
    EXPECT_EQ(tiny.GetTotals().dropped, 1u);
    EXPECT_EQ(tiny.GetTotals().packetsOut, 0u);
}

TEST(SegmenterPass, PacketThatFitsIsTheCallersOwnBytes) {
    CSegmenter segmenter(1500);
    // Fits exactly, and something that is not IPv4 at all (short, or exactly the MTU): none is
    // looked at.
    for (const Bytes& bytes :
         {MergedTcp(1448, 0x18, 1, 1), Bytes{0x60, 0x00, 0x00}, Bytes{}, Bytes(1500, 0x60)}) {
        const CExactBuffer in(bytes);
        const Output out = Cut(segmenter, in);
        EXPECT_EQ(out.action, CSegmenter::Action::kPass);
        ASSERT_EQ(out.segments.size(), 1u);
        EXPECT_EQ(out.segments[0].packet, in.Data());
        EXPECT_EQ(out.segments[0].length, in.Size());
        EXPECT_EQ(out.segments[0].headroom, nullptr);
        EXPECT_EQ(in.Copy(), bytes);
    }
    // A padded frame whose IP total length is exactly the MTU: the same bytes, trimmed to the
    // total length.
    Bytes padded = Udp(1500, 0);
    padded.resize(1600, 0xAA);
    const CExactBuffer in(padded);
    const Output out = Cut(segmenter, in);
    EXPECT_EQ(out.action, CSegmenter::Action::kPass);
    ASSERT_EQ(out.segments.size(), 1u);
    EXPECT_EQ(out.segments[0].packet, in.Data());
    EXPECT_EQ(out.segments[0].length, 1500);
    EXPECT_EQ(segmenter.GetTotals().passed, 5u);
}

TEST(SegmenterFragment, UdpWithoutDfReassemblesToTheOriginal) {
    const Bytes original = Udp(4000, 0);
    CSegmenter segmenter(1500);
    const CExactBuffer in(original);
    const Output out = Cut(segmenter, in);
    ASSERT_EQ(out.action, CSegmenter::Action::kFragment);
    ASSERT_EQ(out.packets.size(), 3u);
    EXPECT_EQ(out.packets[0].size(), 1500u);
    EXPECT_EQ(out.packets[1].size(), 1500u);
    EXPECT_EQ(out.packets[2].size(), 20u + 3980 - 2 * 1480);
    for (const Bytes& f : out.packets) {
        EXPECT_EQ(Get16(&f[4]), 0x4242);  // one identification for all fragments
        EXPECT_TRUE(IpChecksumGood(f));
        EXPECT_TRUE(std::equal(f.begin() + 8, f.begin() + 10, original.begin() + 8));
    }
    EXPECT_EQ(Reassemble(out.packets, 0, false), Bytes(original.begin() + 20, original.end()));
}

// Options: the first fragment keeps all; later ones only those with the copied bit (here
// router alert, 0x94), padded to a whole word. An input that is already a middle fragment keeps
// MF on its last piece and its offset as the base.
TEST(SegmenterFragment, CopiedOptionsAndExistingFragmentFields) {
    const Bytes options = {0x07, 0x07, 0x04, 0,   0, 0, 0,  // record route (not copied)
                           0x01,                            // NOP
                           0x94, 0x04, 0x00, 0x00};         // router alert (copied)
    const Bytes original = Udp(3000, 0x2000 | 100, options);
    CSegmenter segmenter(1000);
    const CExactBuffer in(original);
    const Output out = Cut(segmenter, in);
    ASSERT_EQ(out.action, CSegmenter::Action::kFragment);
    ASSERT_GE(out.packets.size(), 3u);
    EXPECT_EQ(out.packets[0][0], 0x48);
    EXPECT_TRUE(std::equal(out.packets[0].begin() + 20, out.packets[0].begin() + 32,
                           original.begin() + 20));
    for (std::size_t i = 1; i < out.packets.size(); ++i) {
        const Bytes& f = out.packets[i];
        EXPECT_EQ(f[0], 0x46);
        EXPECT_EQ((Bytes{f.begin() + 20, f.begin() + 24}), (Bytes{0x94, 0x04, 0x00, 0x00}));
    }
    for (const Bytes& f : out.packets) {
        EXPECT_LE(f.size(), 1000u);
        EXPECT_TRUE(IpChecksumGood(f));
    }
    EXPECT_EQ(Reassemble(out.packets, 100, true), Bytes(original.begin() + 32, original.end()));

    // A TCP fragment is not a whole segment: it is fragmented further, not segmented.
    Bytes tcpTail = Udp(3000, 200);
    tcpTail[9] = 6;
    const CExactBuffer tail(tcpTail);
    const Output tailOut = Cut(segmenter, tail);
    ASSERT_EQ(tailOut.action, CSegmenter::Action::kFragment);
    EXPECT_EQ(Reassemble(tailOut.packets, 200, false), Bytes(tcpTail.begin() + 20, tcpTail.end()));
}

TEST(SegmenterFragment, DontFragmentOrUnsplittableIsDropped) {
    CSegmenter segmenter(1500);
    const CExactBuffer df(Udp(4000, 0x4000));
    EXPECT_EQ(Cut(segmenter, df).action, CSegmenter::Action::kDrop);
    // Offsets would run past what a 13-bit offset can address: the payload may end at 65535
    // (offset 63488 plus 2047 bytes, cut at the end of this test), not one byte further.
    const CExactBuffer far(Udp(20 + 2048, 0x1F00));
    EXPECT_EQ(Cut(segmenter, far).action, CSegmenter::Action::kDrop);
    // Fewer than 8 payload bytes per fragment.
    CSegmenter tiny(27);
    const CExactBuffer small(Udp(100, 0));
    EXPECT_EQ(Cut(tiny, small).action, CSegmenter::Action::kDrop);
    EXPECT_EQ(segmenter.GetTotals().packetsOut, 0u);
    const CExactBuffer farthest(Udp(20 + 2047, 0x1F00));
    EXPECT_EQ(Cut(segmenter, farthest).action, CSegmenter::Action::kFragment);
}

// Headers that lie about their own sizes; each buffer is exactly as long as the packet, so a read
// past it is an AddressSanitizer failure, not a silent pass.
TEST(SegmenterMalformed, DroppedWithoutReadingPastThePacket) {
    struct Case {
        const char* what;
        Bytes packet;
        int mtu;
    };
    std::vector<Case> cases;
    const Bytes full = MergedTcp(200, 0x10, 1, 1);  // 252 bytes
    auto tcp = [&] { return full; };
    auto head = [&](int n) { return Bytes(full.begin(), full.begin() + n); };
    cases.push_back({"not version 4", tcp(), 100});
    cases.back().packet[0] = 0x65;
    cases.push_back({"IHL below 5", tcp(), 100});
    cases.back().packet[0] = 0x44;
    cases.push_back({"IHL past the packet", head(56), 40});
    Put16(&cases.back().packet[2], 56);
    cases.back().packet[0] = 0x4F;
    cases.push_back({"total length past the packet", tcp(), 100});
    Put16(&cases.back().packet[2], 253);
    cases.push_back({"total length inside the IP header", tcp(), 100});
    Put16(&cases.back().packet[2], 19);
    cases.push_back({"TCP data offset below 5", tcp(), 100});
    cases.back().packet[32] = 0x40;
    cases.push_back({"TCP data offset past the packet", head(70), 60});
    Put16(&cases.back().packet[2], 70);
    cases.back().packet[32] = 0xF0;
    cases.push_back({"TCP header cut short", head(30), 25});
    Put16(&cases.back().packet[2], 30);
    cases.push_back({"shorter than an IP header", head(19), 10});
    cases.push_back({"option length zero", Udp(300, 0, {0x07, 0x00, 0x00, 0x00}), 100});
    cases.push_back({"option running past the header", Udp(300, 0, {0x01, 0x01, 0x94, 0x08}), 100});
    cases.push_back({"option length byte missing", Udp(24, 0, {0x01, 0x01, 0x01, 0x94}), 20});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CSegmenter segmenter(c.mtu);
        const CExactBuffer in(c.packet);
        const Output out = Cut(segmenter, in);
        EXPECT_EQ(out.action, CSegmenter::Action::kDrop);
        EXPECT_TRUE(out.packets.empty());
    }
}

}  // namespace
