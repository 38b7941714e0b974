#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "SealTestSupport.h"
#include "engine/ForwardBatch.h"
#include "engine/RecordStream.h"
#include "engine/WireFormat.h"
#include "tests/support/TunnelDatagrams.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A packet whose every byte tells where it came from.
Bytes MakePacket(int length, std::uint8_t seed = 0) {
    Bytes packet(static_cast<std::size_t>(length));
    for (int i = 0; i < length; ++i) packet[i] = static_cast<std::uint8_t>(i * 7 + i / 251 + seed);
    return packet;
}

// The record a sender puts on the stream: 4 length bytes, least significant first, then the packet.
Bytes MakeRecord(const Bytes& packet) {
    Bytes record(4 + packet.size());
    wire::PutRecordLength(record.data(), static_cast<std::uint32_t>(packet.size()));
    std::memcpy(record.data() + 4, packet.data(), packet.size());
    return record;
}

struct Datagram {
    std::uint8_t header;
    int length;
};

std::vector<Datagram> Fragment(int packetLength) {
    std::vector<Datagram> out;
    wire::CFragmenter fragmenter(packetLength);
    wire::CFragmenter::Fragment f;
    int expectedOffset = 0;
    while (fragmenter.Next(f)) {
        EXPECT_EQ(f.offset, expectedOffset);
        expectedOffset += f.length;
        out.push_back({f.header, f.length});
    }
    EXPECT_EQ(expectedOffset, packetLength);
    return out;
}

// ---------------------------------------------------------------------------------------------

TEST(Fragmenter, ExamplesOfTheFormat) {
    using V = std::vector<std::pair<int, int>>;
    auto asPairs = [](const std::vector<Datagram>& d) {
        V v;
        for (auto& x : d) v.emplace_back(x.header, x.length);
        return v;
    };
    EXPECT_EQ(asPairs(Fragment(60)), (V{{0x80, 60}}));
    EXPECT_EQ(asPairs(Fragment(1400)), (V{{0x80, 1400}}));
    EXPECT_EQ(asPairs(Fragment(1401)), (V{{0x00, 1400}, {0x81, 1}}));
    EXPECT_EQ(asPairs(Fragment(2800)), (V{{0x00, 1400}, {0x81, 1400}}));
    EXPECT_EQ(asPairs(Fragment(4000)), (V{{0x00, 1400}, {0x01, 1400}, {0x82, 1200}}));
    EXPECT_TRUE(Fragment(0).empty());

    std::vector<Datagram> largest = Fragment(wire::kMaxPacketLength);
    ASSERT_EQ(largest.size(), 47u);
    for (int k = 0; k < 46; ++k) {
        EXPECT_EQ(largest[k].header, k);
        EXPECT_EQ(largest[k].length, 1400);
    }
    EXPECT_EQ(largest[46].header, 0xAE);
    EXPECT_EQ(largest[46].length, 1122);
}

TEST(RecordHeader, GoldenBytes) {
    Bytes record = MakeRecord(MakePacket(60));
    ASSERT_EQ(record.size(), 64u);
    EXPECT_EQ(Bytes(record.begin(), record.begin() + 4), (Bytes{0x3C, 0x00, 0x00, 0x00}));

    Bytes largest = MakeRecord(MakePacket(wire::kMaxPacketLength));
    ASSERT_EQ(largest.size(), 65526u);
    EXPECT_EQ(Bytes(largest.begin(), largest.begin() + 4), (Bytes{0xF2, 0xFF, 0x00, 0x00}));

    const std::uint8_t bytes[4] = {0x00, 0x05, 0x00, 0x00};
    EXPECT_EQ(wire::GetRecordLength(bytes), 1280u);
    const std::uint8_t high[4] = {0x01, 0x02, 0x03, 0x84};
    EXPECT_EQ(wire::GetRecordLength(high), 0x84030201u);
}

// ---------------------------------------------------------------------------------------------
// Record reader: feeds a byte stream in chosen pieces, as a socket would deliver it.

// What a reader reported for a stream.
struct Seen {
    int keepAlives = 0;
    int badLengths = 0;
    std::vector<Bytes> packets;
};

class RecordReaderTest : public ::testing::Test {
  protected:
    // Feeds `stream` to the reader in pieces of the given sizes (the last size repeats), never
    // more than the reader wants, and collects what it reports.
    Seen Feed(const Bytes& stream, std::vector<int> pieces) {
        Seen seen;
        std::size_t at = 0;
        std::size_t piece = 0;
        while (at < stream.size()) {
            int size = pieces[std::min(piece, pieces.size() - 1)];
            ++piece;
            int n = std::min({size, m_reader.Wanted(), static_cast<int>(stream.size() - at)});
            std::uint8_t* to = m_reader.WritePosition();
            EXPECT_GE(to, m_frame.data() + 10);
            EXPECT_LE(to + n, m_frame.data() + m_frame.size());
            std::memcpy(to, stream.data() + at, static_cast<std::size_t>(n));
            at += static_cast<std::size_t>(n);
            switch (m_reader.Advance(n)) {
                case wire::CRecordReader::Event::kKeepAlive:
                    ++seen.keepAlives;
                    break;
                case wire::CRecordReader::Event::kBadLength:
                    ++seen.badLengths;
                    break;
                case wire::CRecordReader::Event::kPacket:
                    seen.packets.emplace_back(m_frame.begin() + 14,
                                              m_frame.begin() + 14 + m_reader.PacketLength());
                    break;
                case wire::CRecordReader::Event::kNone:
                    break;
            }
        }
        return seen;
    }

    Bytes m_frame = Bytes(wire::kFrameBufferSize);
    wire::CRecordReader m_reader{m_frame.data()};
};

TEST_F(RecordReaderTest, RecordsLandInPlaceAndKeepAlivesBetweenThemVanish) {
    Bytes a = MakePacket(60, 1), b = MakePacket(wire::kMaxPacketLength, 2), c = MakePacket(1, 3);
    Bytes stream;
    for (const Bytes* p : {&a, &b}) {
        Bytes r = MakeRecord(*p);
        stream.insert(stream.end(), r.begin(), r.end());
        stream.insert(stream.end(), {0, 0, 0, 0});  // keep-alive
    }
    Bytes r = MakeRecord(c);
    stream.insert(stream.end(), r.begin(), r.end());

    for (int size : {1, 3, 4, 1000, 70000}) {
        SCOPED_TRACE(size);
        Seen seen = Feed(stream, {size});
        EXPECT_EQ(seen.keepAlives, 2);
        EXPECT_EQ(seen.badLengths, 0);
        ASSERT_EQ(seen.packets.size(), 3u);
        EXPECT_EQ(seen.packets[0], a);
        EXPECT_EQ(seen.packets[1], b);
        EXPECT_EQ(seen.packets[2], c);
        EXPECT_TRUE(m_reader.ReadingLength());
        EXPECT_EQ(m_reader.Wanted(), 4);
    }
}

TEST_F(RecordReaderTest, KeepAliveSplitIntoPiecesAndZeroFirstLengthByteAfterIt) {
    // A keep-alive in pieces of 1, 2, 1 bytes, then a 1280-byte record (length bytes 00 05 00 00)
    // whose first, zero, length byte arrives alone.
    Bytes packet = MakePacket(1280, 9);
    Bytes stream = {0, 0, 0, 0};
    Bytes record = MakeRecord(packet);
    ASSERT_EQ(Bytes(record.begin(), record.begin() + 4), (Bytes{0x00, 0x05, 0x00, 0x00}));
    stream.insert(stream.end(), record.begin(), record.end());

    Seen seen = Feed(stream, {1, 2, 1, 1, 3, 500});
    EXPECT_EQ(seen.keepAlives, 1);
    EXPECT_EQ(seen.badLengths, 0);
    ASSERT_EQ(seen.packets.size(), 1u);
    EXPECT_EQ(seen.packets[0], packet);
}

TEST_F(RecordReaderTest, BadLengthsAreReportedOnceAllFourBytesAreIn) {
    // 65526 is the longest packet that fits behind the header of the 65540-byte frame buffer.
    for (std::uint32_t length : {65527u, 65535u, 65536u, 0x80000000u, 0x80000005u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(length);
        m_reader.Restart();
        Bytes header(4);
        wire::PutRecordLength(header.data(), length);
        Seen partial = Feed(Bytes(header.begin(), header.begin() + 3), {1});
        EXPECT_EQ(partial.badLengths, 0);
        Seen seen = Feed(Bytes(header.begin() + 3, header.end()), {1});
        EXPECT_EQ(seen.badLengths, 1);
        EXPECT_TRUE(m_reader.ReadingLength());  // restarted: the next bytes are a new length
    }
    m_reader.Restart();
    Seen fits = Feed(MakeRecord(MakePacket(65526)), {65536});
    EXPECT_EQ(fits.badLengths, 0);
    ASSERT_EQ(fits.packets.size(), 1u);
    EXPECT_EQ(fits.packets[0].size(), 65526u);
}

TEST_F(RecordReaderTest, RestartDropsAHalfReadRecord) {
    Bytes record = MakeRecord(MakePacket(100));
    Feed(Bytes(record.begin(), record.begin() + 50), {50});
    EXPECT_FALSE(m_reader.ReadingLength());
    EXPECT_EQ(m_reader.Wanted(), 54);
    m_reader.Restart();
    Bytes packet = MakePacket(7, 4);
    Seen seen = Feed(MakeRecord(packet), {2});
    ASSERT_EQ(seen.packets.size(), 1u);
    EXPECT_EQ(seen.packets[0], packet);
    // Counts the reader never asked for are ignored rather than run past the record.
    EXPECT_EQ(m_reader.Advance(5), wire::CRecordReader::Event::kNone);
    EXPECT_EQ(m_reader.Advance(0), wire::CRecordReader::Event::kNone);
    EXPECT_EQ(m_reader.Wanted(), 4);
}

// ---------------------------------------------------------------------------------------------
// Reassembler

class ReassemblerTest : public ::testing::Test {
  protected:
    // Sends a packet through the fragmenter and feeds every datagram to the reassembler.
    std::vector<wire::CFragmentReassembler::Result> FeedPacket(const Bytes& packet) {
        std::vector<wire::CFragmentReassembler::Result> results;
        wire::CFragmenter fragmenter(static_cast<int>(packet.size()));
        wire::CFragmenter::Fragment f;
        while (fragmenter.Next(f)) {
            Bytes datagram = {f.header};
            datagram.insert(datagram.end(), packet.begin() + f.offset,
                            packet.begin() + f.offset + f.length);
            results.push_back(Accept(datagram));
        }
        return results;
    }
    wire::CFragmentReassembler::Result Accept(const Bytes& datagram) {
        return m_reassembler.Accept(datagram.data(), static_cast<int>(datagram.size()));
    }
    Bytes Packet() const {
        return Bytes(m_frame.begin() + 14, m_frame.begin() + m_reassembler.FrameLength());
    }
    Bytes Datagram(std::uint8_t header, int payload, std::uint8_t fill = 0x5A) {
        Bytes d(1 + static_cast<std::size_t>(payload), fill);
        d[0] = header;
        return d;
    }

    Bytes m_frame = Bytes(wire::kFrameBufferSize);
    wire::CFragmentReassembler m_reassembler{m_frame.data()};
};

using R = wire::CFragmentReassembler::Result;

TEST_F(ReassemblerTest, EveryExamplePacketComesBackWhole) {
    for (int length : {60, 1400, 1401, 2800, 4000, wire::kMaxPacketLength}) {
        SCOPED_TRACE(length);
        Bytes packet = MakePacket(length, static_cast<std::uint8_t>(length));
        auto results = FeedPacket(packet);
        ASSERT_FALSE(results.empty());
        for (std::size_t i = 0; i + 1 < results.size(); ++i) EXPECT_EQ(results[i], R::kPartial);
        EXPECT_EQ(results.back(), R::kComplete);
        EXPECT_EQ(m_reassembler.FrameLength(), 14 + length);
        EXPECT_EQ(Packet(), packet);
        EXPECT_EQ(m_reassembler.ExpectedIndex(), 0);
    }
}

TEST_F(ReassemblerTest, OutOfSequenceFragmentsLoseTheirPacketOnly) {
    // Fragments 0 and 1, then 0 again: dropped, expected index back to 0; the next 0 starts anew.
    EXPECT_EQ(Accept(Datagram(0x00, 1400)), R::kPartial);
    EXPECT_EQ(Accept(Datagram(0x01, 1400)), R::kPartial);
    EXPECT_EQ(m_reassembler.ExpectedIndex(), 2);
    EXPECT_EQ(Accept(Datagram(0x00, 1400)), R::kDropped);
    EXPECT_EQ(m_reassembler.ExpectedIndex(), 0);
    EXPECT_EQ(Accept(Datagram(0x00, 1400, 1)), R::kPartial);
    EXPECT_EQ(Accept(Datagram(0x81, 10, 2)), R::kComplete);
    EXPECT_EQ(m_reassembler.FrameLength(), 14 + 1410);

    // A lost middle fragment: 0, then 2 arrives, is dropped and resets; the next packet is whole.
    EXPECT_EQ(Accept(Datagram(0x00, 1400)), R::kPartial);
    EXPECT_EQ(Accept(Datagram(0x82, 5)), R::kDropped);
    EXPECT_EQ(Accept(Datagram(0x80, 60, 7)), R::kComplete);
    EXPECT_EQ(Packet(), Bytes(60, 7));
}

TEST_F(ReassemblerTest, TwoSingleFragmentPacketsInARow) {
    EXPECT_EQ(Accept(Datagram(0x80, 60, 1)), R::kComplete);
    EXPECT_EQ(Packet(), Bytes(60, 1));
    EXPECT_EQ(Accept(Datagram(0x80, 40, 2)), R::kComplete);
    EXPECT_EQ(m_reassembler.FrameLength(), 54);
    EXPECT_EQ(Packet(), Bytes(40, 2));
}

TEST_F(ReassemblerTest, DatagramsThatCannotFitAreDroppedAndResetTheIndex) {
    // Fragments 0-45 full fill bytes 14..64413; fragment 46 has room for 1126 bytes.
    for (int k = 0; k < 46; ++k)
        ASSERT_EQ(Accept(Datagram(static_cast<std::uint8_t>(k), 1400)), R::kPartial);
    EXPECT_EQ(Accept(Datagram(46, 1127)), R::kDropped);  // would end at 65541
    EXPECT_EQ(m_reassembler.ExpectedIndex(), 0);
    EXPECT_EQ(m_frame.size(), 65540u);

    for (int k = 0; k < 46; ++k)
        ASSERT_EQ(Accept(Datagram(static_cast<std::uint8_t>(k), 1400)), R::kPartial);
    EXPECT_EQ(Accept(Datagram(0x80 | 46, 1126)), R::kComplete);  // ends exactly at 65540
    EXPECT_EQ(m_reassembler.FrameLength(), 65540);

    // An oversized datagram at index 0 (more than a conforming receiver reads, but fitting) is
    // still placed; the fit is what is checked.
    EXPECT_EQ(Accept(Datagram(0x80, 1499)), R::kComplete);
    // Empty datagram: dropped, resets the index, whatever header byte the receive buffer still
    // holds from an earlier datagram (here one the expected index would take).
    EXPECT_EQ(Accept(Datagram(0x00, 1400)), R::kPartial);
    const Bytes stale = Datagram(0x81, 0);
    EXPECT_EQ(m_reassembler.Accept(stale.data(), 0), R::kDropped);
    EXPECT_EQ(m_reassembler.ExpectedIndex(), 0);

    // A full non-final fragment 46 would end past the buffer, so index 47 is never reached.
    for (int k = 0; k < 46; ++k)
        ASSERT_EQ(Accept(Datagram(static_cast<std::uint8_t>(k), 1400)), R::kPartial);
    EXPECT_EQ(Accept(Datagram(46, 1400)), R::kDropped);
    EXPECT_EQ(m_reassembler.ExpectedIndex(), 0);
}

// ---------------------------------------------------------------------------------------------
// Record stream: many records per receive, handed out in place. Each packet's header room is
// overwritten as the injector does before the next record is read, so an overlap between a
// packet, its header and the records behind it shows as changed bytes.

class RecordStreamTest : public ::testing::Test {
  protected:
    Seen Feed(const Bytes& stream, std::vector<int> pieces) {
        Seen seen;
        std::size_t at = 0, piece = 0;
        for (int guard = 0; guard < 1000000; ++guard) {
            Drain(seen);
            if (seen.badLengths > 0 || at == stream.size()) break;
            int size = pieces[std::min(piece, pieces.size() - 1)];
            ++piece;
            int n = std::min({size, m_stream.SpaceSize(), static_cast<int>(stream.size() - at)});
            EXPECT_GT(n, 0);
            std::memcpy(m_stream.Space(), stream.data() + at, static_cast<std::size_t>(n));
            m_stream.Commit(n);
            at += static_cast<std::size_t>(n);
        }
        return seen;
    }

    void Drain(Seen& seen) {
        for (;;) {
            CRecordStream::Packet packet;
            switch (m_stream.Next(packet)) {
                case CRecordStream::Event::kNeedMore:
                    return;
                case CRecordStream::Event::kKeepAlive:
                    ++seen.keepAlives;
                    break;
                case CRecordStream::Event::kBadLength:
                    ++seen.badLengths;
                    return;
                case CRecordStream::Event::kPacket:
                    seen.packets.emplace_back(packet.frame + 14, packet.frame + 14 + packet.length);
                    std::memset(packet.frame, 0xEE, 14);  // the Ethernet header
                    break;
            }
        }
    }

    static constexpr int kCapacity = 100000;  // small, so that records cross the buffer's end
    CRecordStream m_stream{kCapacity};
};

TEST_F(RecordStreamTest, ManyRecordsPerReceiveComeOutWholeWhateverThePieces) {
    // Records of every size class, keep-alives between some, more bytes than the buffer holds.
    std::vector<Bytes> packets;
    Bytes stream;
    for (int i = 0; i < 120; ++i) {
        int length = i % 17 == 0 ? wire::kMaxPacketLength : i % 5 == 0 ? 1 : 1400 + i;
        packets.push_back(MakePacket(length, static_cast<std::uint8_t>(i)));
        Bytes r = MakeRecord(packets.back());
        stream.insert(stream.end(), r.begin(), r.end());
        if (i % 3 == 0) stream.insert(stream.end(), {0, 0, 0, 0});
    }
    for (int size : {1, 3, 1000, 65536, 1 << 30}) {
        SCOPED_TRACE(size);
        m_stream.Restart();
        Seen seen = Feed(stream, {size});
        EXPECT_EQ(seen.keepAlives, 40);
        EXPECT_EQ(seen.badLengths, 0);
        ASSERT_EQ(seen.packets.size(), packets.size());
        for (std::size_t i = 0; i < packets.size(); ++i)
            ASSERT_EQ(seen.packets[i], packets[i]) << i;
        EXPECT_EQ(m_stream.Buffered(), 0);
    }
}

TEST_F(RecordStreamTest, KeepAliveInPiecesAndZeroFirstLengthByte) {
    Bytes packet = MakePacket(1280, 9);
    Bytes stream = {0, 0, 0, 0};
    Bytes record = MakeRecord(packet);
    stream.insert(stream.end(), record.begin(), record.end());
    Seen seen = Feed(stream, {1, 2, 1, 1, 3, 500});
    EXPECT_EQ(seen.keepAlives, 1);
    ASSERT_EQ(seen.packets.size(), 1u);
    EXPECT_EQ(seen.packets[0], packet);
}

TEST_F(RecordStreamTest, BadLengthsStopTheStreamAndRestartDropsWhatIsBuffered) {
    for (std::uint32_t length : {65527u, 65536u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(length);
        m_stream.Restart();
        Bytes stream = MakeRecord(MakePacket(60));
        Bytes header(4);
        wire::PutRecordLength(header.data(), length);
        stream.insert(stream.end(), header.begin(), header.end());
        Bytes after = MakeRecord(MakePacket(70));
        stream.insert(stream.end(), after.begin(), after.end());
        Seen seen = Feed(stream, {1 << 20});
        EXPECT_EQ(seen.packets.size(), 1u);  // the record before it only
        EXPECT_EQ(seen.badLengths, 1);
    }
    // The longest length that fits the receiver's frame buffer passes.
    m_stream.Restart();
    Seen fits = Feed(MakeRecord(MakePacket(65526)), {7000});
    ASSERT_EQ(fits.packets.size(), 1u);
    EXPECT_EQ(fits.packets[0].size(), 65526u);

    // Half a record, then a new connection: its bytes start a fresh record.
    Bytes half = MakeRecord(MakePacket(100));
    Feed(Bytes(half.begin(), half.begin() + 50), {50});
    EXPECT_EQ(m_stream.Buffered(), 50);
    m_stream.Restart();
    Bytes packet = MakePacket(7, 4);
    Seen seen = Feed(MakeRecord(packet), {2});
    ASSERT_EQ(seen.packets.size(), 1u);
    EXPECT_EQ(seen.packets[0], packet);
    // Counts beyond the space offered are ignored rather than run past the buffer.
    const int space = m_stream.SpaceSize();
    m_stream.Commit(space + 1);
    m_stream.Commit(0);
    EXPECT_EQ(m_stream.Buffered(), 0);
}

// ---------------------------------------------------------------------------------------------
// Forward batch: what goes out in one call equals what single packets would have sent.

TEST(ForwardBatch, RecordsLieBackToBackAsSinglePacketsWouldBeSent) {
    CForwardBatch batch(CForwardBatch::Form::kRecords, 66000, 0);
    Bytes a = MakePacket(46, 1), b = MakePacket(1500, 2), c = MakePacket(65522, 3);
    ASSERT_TRUE(batch.Add(a.data(), 46));
    ASSERT_TRUE(batch.Add(b.data(), 1500));
    EXPECT_FALSE(batch.Add(c.data(), 65522));  // does not fit behind them: nothing added
    Bytes expected = MakeRecord(a);
    Bytes rb = MakeRecord(b);
    expected.insert(expected.end(), rb.begin(), rb.end());
    EXPECT_EQ(Bytes(batch.Bytes(), batch.Bytes() + batch.Size()), expected);
    EXPECT_EQ(batch.Packets(), 2);

    batch.Clear();
    EXPECT_TRUE(batch.Empty());
    ASSERT_TRUE(batch.Add(c.data(), 65522));  // an empty batch takes the largest
    ASSERT_EQ(batch.Size(), 65526);
    EXPECT_EQ(Bytes(batch.Bytes(), batch.Bytes() + 4), (Bytes{0xF2, 0xFF, 0x00, 0x00}));
    EXPECT_FALSE(batch.Add(a.data(), 0));
    EXPECT_FALSE(batch.Add(a.data(), 65523));
}

TEST(ForwardBatch, FragmentsOfSeveralPacketsInOrder) {
    CForwardBatch batch(CForwardBatch::Form::kFragments, 1 << 20, 50);
    std::vector<Bytes> packets = {MakePacket(60, 1), MakePacket(1400, 2), MakePacket(1401, 3),
                                  MakePacket(4000, 4)};
    for (const Bytes& p : packets) ASSERT_TRUE(batch.Add(p.data(), static_cast<int>(p.size())));
    // 47 more datagrams do not fit the 50 with the 7 taken; the batch is left as it was.
    Bytes largest = MakePacket(65522, 5);
    EXPECT_FALSE(batch.Add(largest.data(), 65522));

    std::vector<std::pair<int, int>> expected = {{0x80, 60},  {0x80, 1400}, {0x00, 1400},
                                                 {0x81, 1},   {0x00, 1400}, {0x01, 1400},
                                                 {0x82, 1200}};
    ASSERT_EQ(batch.DatagramCount(), static_cast<int>(expected.size()));
    Bytes payloads, sent;
    for (const Bytes& p : packets) payloads.insert(payloads.end(), p.begin(), p.end());
    for (int i = 0; i < batch.DatagramCount(); ++i) {
        const msghdr& m = batch.Datagrams()[i].msg_hdr;
        ASSERT_EQ(m.msg_iovlen, 2u);
        ASSERT_EQ(m.msg_iov[0].iov_len, 1u);
        EXPECT_EQ(*static_cast<std::uint8_t*>(m.msg_iov[0].iov_base), expected[i].first) << i;
        EXPECT_EQ(static_cast<int>(m.msg_iov[1].iov_len), expected[i].second) << i;
        EXPECT_EQ(m.msg_name, nullptr);
        auto* at = static_cast<std::uint8_t*>(m.msg_iov[1].iov_base);
        sent.insert(sent.end(), at, at + m.msg_iov[1].iov_len);
    }
    EXPECT_EQ(sent, payloads);

    batch.Clear();
    ASSERT_TRUE(batch.Add(largest.data(), 65522));
    ASSERT_EQ(batch.DatagramCount(), 47);
    EXPECT_EQ(*static_cast<std::uint8_t*>(batch.Datagrams()[46].msg_hdr.msg_iov[0].iov_base), 0xAE);
    EXPECT_EQ(batch.Datagrams()[46].msg_hdr.msg_iov[1].iov_len, 1122u);
}

TEST(ForwardBatch, SealedFragmentsOpenAtThePeerAsTheUnsealedFragmentsInOrder) {
    sealtest::ChannelPair pair(seal::CSealedChannel::Mode::kDatagram);
    CForwardBatch batch(CForwardBatch::Form::kFragments, 0, 50, pair.a.get());
    Bytes lost = MakePacket(3000, 9);
    // No session yet: the packet is taken and dropped whole, and a handshake is asked for.
    ASSERT_TRUE(batch.Add(lost.data(), 3000));
    EXPECT_EQ(batch.DatagramCount(), 0);
    EXPECT_TRUE(batch.Empty());
    EXPECT_TRUE(batch.TakeHandshakeDue());
    EXPECT_FALSE(batch.TakeHandshakeDue());

    pair.Handshake();
    std::vector<Bytes> packets = {MakePacket(60, 1), MakePacket(1401, 2), MakePacket(2900, 3)};
    for (const Bytes& p : packets) ASSERT_TRUE(batch.Add(p.data(), static_cast<int>(p.size())));
    EXPECT_FALSE(batch.TakeHandshakeDue());
    std::vector<std::pair<int, int>> expected = {{0x80, 60},   {0x00, 1400}, {0x81, 1},
                                                 {0x00, 1400}, {0x01, 1400}, {0x82, 100}};
    ASSERT_EQ(batch.DatagramCount(), static_cast<int>(expected.size()));
    Bytes payloads, opened;
    for (const Bytes& p : packets) payloads.insert(payloads.end(), p.begin(), p.end());
    for (int i = 0; i < batch.DatagramCount(); ++i) {
        const msghdr& m = batch.Datagrams()[i].msg_hdr;
        ASSERT_EQ(m.msg_iovlen, 1u);
        ASSERT_LE(m.msg_iov[0].iov_len, 1472u) << "a sealed datagram fits a 1500-byte path";
        auto* at = static_cast<std::uint8_t*>(m.msg_iov[0].iov_base);
        sealtest::Output o = pair.Deliver(*pair.b, Bytes(at, at + m.msg_iov[0].iov_len));
        ASSERT_EQ(o.kind, seal::CSealedChannel::Received::Kind::kData) << i;
        ASSERT_EQ(static_cast<int>(o.bytes.size()), 1 + expected[i].second) << i;
        EXPECT_EQ(o.bytes[0], expected[i].first) << i;
        opened.insert(opened.end(), o.bytes.begin() + 1, o.bytes.end());
    }
    EXPECT_EQ(opened, payloads);
    // 47 datagrams of the largest packet do not fit behind the 6: nothing is added.
    Bytes largest = MakePacket(65522, 5);
    EXPECT_FALSE(batch.Add(largest.data(), 65522));
    EXPECT_EQ(batch.DatagramCount(), 6);
}

// Segmented messages: cut at their segment size, as the kernel cuts them, they must give exactly
// the datagrams sent one by one, in order; a message of one datagram carries no segment size.
// Packets of 1..4 fragments around the 1400/1401 edges, and the largest, which takes two messages.
const std::vector<int> kSegmentedLengths = {1, 1400, 1401, 2800, 2801, 4200, 4201, 1, 65522, 60};

std::string AsString(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

// The batch's segmented messages cut as the kernel would, checked against its datagrams and
// their per-message bookkeeping; `segmentSize` is the size every multi-datagram message gives.
testsupport::Datagrams CutBatch(CForwardBatch& batch, int segmentSize) {
    testsupport::Datagrams cut;
    const int* firsts = batch.FirstDatagrams();
    EXPECT_EQ(firsts[0], 0);
    EXPECT_EQ(firsts[batch.MessageCount()], batch.DatagramCount());
    for (int m = 0; m < batch.MessageCount(); ++m) {
        SCOPED_TRACE(m);
        const msghdr& message = batch.Messages()[m].msg_hdr;
        EXPECT_EQ(message.msg_name, nullptr);
        int size = -1;
        testsupport::Datagrams pieces = testsupport::CutAtSegmentSize(message, &size);
        const int datagrams = firsts[m + 1] - firsts[m];
        EXPECT_EQ(size, datagrams > 1 ? segmentSize : 0);
        if (datagrams == 1) {
            EXPECT_EQ(message.msg_controllen, 0u);
        }
        EXPECT_EQ(static_cast<int>(pieces.size()), datagrams);
        for (int d = firsts[m]; d < firsts[m + 1] && d - firsts[m] < int(pieces.size()); ++d) {
            EXPECT_EQ(pieces[d - firsts[m]], testsupport::Gathered(batch.Datagrams()[d].msg_hdr))
                << "datagram " << d;
        }
        cut.insert(cut.end(), pieces.begin(), pieces.end());
    }
    return cut;
}

TEST(ForwardBatch, SegmentedMessagesCutIntoExactlyTheDatagramsInOrder) {
    CForwardBatch batch(CForwardBatch::Form::kFragments, 1 << 20, 100);
    std::vector<std::string> packets;
    packets.reserve(kSegmentedLengths.size());  // sent from where they lie: none may move
    for (int length : kSegmentedLengths) {
        packets.push_back(AsString(MakePacket(length, static_cast<std::uint8_t>(packets.size()))));
        ASSERT_TRUE(
            batch.Add(reinterpret_cast<const std::uint8_t*>(packets.back().data()), length));
    }
    EXPECT_EQ(batch.SegmentSize(), 1401);
    EXPECT_EQ(batch.MaxSegments(), 46);  // 47 * 1401 bytes would pass 65507
    // One message per packet, but the largest's 47 datagrams go as 46 and 1.
    ASSERT_EQ(batch.MessageCount(), static_cast<int>(packets.size()) + 1);
    EXPECT_EQ(batch.FirstDatagrams()[9] - batch.FirstDatagrams()[8], 46);
    EXPECT_EQ(CutBatch(batch, 1401), testsupport::ExpectedDatagrams(packets));

    // Cleared, the batch starts its messages afresh.
    batch.Clear();
    EXPECT_EQ(batch.MessageCount(), 0);
    ASSERT_TRUE(batch.Add(reinterpret_cast<const std::uint8_t*>(packets[4].data()), 2801));
    EXPECT_EQ(CutBatch(batch, 1401), testsupport::ExpectedDatagrams({packets[4]}));
}

TEST(ForwardBatch, SealedSegmentedMessagesCutIntoTheSealedDatagramsInOrder) {
    sealtest::ChannelPair pair(seal::CSealedChannel::Mode::kDatagram);
    pair.Handshake();
    CForwardBatch batch(CForwardBatch::Form::kFragments, 0, 100, pair.a.get());
    std::vector<std::string> packets;
    for (int length : kSegmentedLengths) {
        packets.push_back(AsString(MakePacket(length, static_cast<std::uint8_t>(packets.size()))));
        ASSERT_TRUE(
            batch.Add(reinterpret_cast<const std::uint8_t*>(packets.back().data()), length));
    }
    EXPECT_EQ(batch.SegmentSize(), 1433);
    EXPECT_EQ(batch.MaxSegments(), 45);
    ASSERT_EQ(batch.MessageCount(), static_cast<int>(packets.size()) + 1);
    EXPECT_EQ(batch.FirstDatagrams()[9] - batch.FirstDatagrams()[8], 45);
    // Opened in order at the peer, the cut datagrams are the unsealed ones.
    testsupport::Datagrams opened;
    for (const std::string& datagram : CutBatch(batch, 1433)) {
        sealtest::Output o = pair.Deliver(*pair.b, Bytes(datagram.begin(), datagram.end()));
        ASSERT_EQ(o.kind, seal::CSealedChannel::Received::Kind::kData) << opened.size();
        opened.push_back(AsString(o.bytes));
    }
    EXPECT_EQ(opened, testsupport::ExpectedDatagrams(packets));
}

// A non-final fragment that does not carry exactly 1400 bytes would leave a gap (or an overlap)
// that the next fragment does not fill: bytes of an earlier packet would go onto the LAN.
TEST_F(ReassemblerTest, NonFinalFragmentsOfAnyOtherSizeAreDroppedAndResetTheIndex) {
    // An earlier packet leaves its bytes in the frame buffer.
    EXPECT_EQ(Accept(Datagram(0x00, 1400, 0xEE)), R::kPartial);
    EXPECT_EQ(Accept(Datagram(0x81, 1400, 0xEE)), R::kComplete);
    for (int size : {0, 1, 20, 1399, 1401, 1499}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(Accept(Datagram(0x00, size, 1)), R::kDropped);
        EXPECT_EQ(m_reassembler.ExpectedIndex(), 0);
        // The last fragment that follows is out of sequence now, so nothing mixed is delivered.
        EXPECT_EQ(Accept(Datagram(0x81, 10, 2)), R::kDropped);
        // A short middle fragment loses its packet the same way.
        EXPECT_EQ(Accept(Datagram(0x00, 1400, 3)), R::kPartial);
        EXPECT_EQ(Accept(Datagram(0x01, size, 3)), R::kDropped);
        EXPECT_EQ(Accept(Datagram(0x82, 10, 3)), R::kDropped);
        // The reset makes the next packet arrive whole.
        EXPECT_EQ(Accept(Datagram(0x00, 1400, 4)), R::kPartial);
        EXPECT_EQ(Accept(Datagram(0x81, 10, 5)), R::kComplete);
        Bytes expected(1400, 4);
        expected.insert(expected.end(), 10, 5);
        EXPECT_EQ(Packet(), expected);
    }
    // A last fragment may carry any size from 1 up.
    EXPECT_EQ(Accept(Datagram(0x80, 1, 6)), R::kComplete);
    EXPECT_EQ(Packet(), Bytes(1, 6));
}

}  // namespace
