// The pairing of the two captures: frames the forwarder's capture shows cut short are found
// whole in the merged capture, in the forwarder's order, whichever of the two rings had no room
// for a frame. The merged capture reads a savefile here, written with the stamps and lengths
// the kernel would give.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/forward/MergedCapture.h"

namespace {

constexpr std::uint32_t kCut = 1518;  // the forwarder's snapshot length for an MTU of 1500

struct Frame {
    std::string bytes;  // the whole frame
    std::int64_t nanoseconds;
};

// A merged frame of `length` bytes whose contents follow from `seed`; frames of one length
// differ only beyond the first bytes when `late` is set (as two segments of one flow whose
// headers differ only in their sequence numbers would).
std::string Bytes(std::size_t length, unsigned seed, bool late = false) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned s = late && i < 64 ? 0 : seed;
        bytes[i] = static_cast<char>((i * 13 + s * 101) >> 2);
    }
    if (late) bytes[1000] = static_cast<char>(seed);  // within the cut
    return bytes;
}

class MergedCaptureTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (!m_path.empty()) std::remove(m_path.c_str());
    }

    // The merged capture's ring: `frames` as it holds them, `captured` bytes of each at most.
    void Ring(const std::vector<Frame>& frames, std::uint32_t captured = 65536) {
        char path[] = "/tmp/merged-capture-XXXXXX";
        const int fd = ::mkstemp(path);
        ASSERT_GE(fd, 0);
        ::close(fd);
        m_path = path;
        pcap_t* dead =
            pcap_open_dead_with_tstamp_precision(DLT_EN10MB, 65536, PCAP_TSTAMP_PRECISION_NANO);
        ASSERT_NE(dead, nullptr);
        pcap_dumper_t* dumper = pcap_dump_open(dead, path);
        ASSERT_NE(dumper, nullptr);
        for (const Frame& f : frames) {
            pcap_pkthdr header{};
            header.ts.tv_sec = f.nanoseconds / 1000000000;
            header.ts.tv_usec = f.nanoseconds % 1000000000;
            header.len = static_cast<bpf_u_int32>(f.bytes.size());
            header.caplen = std::min(header.len, captured);
            pcap_dump(reinterpret_cast<u_char*>(dumper), &header,
                      reinterpret_cast<const u_char*>(f.bytes.data()));
        }
        pcap_dump_close(dumper);
        pcap_close(dead);
        char error[PCAP_ERRBUF_SIZE];
        pcap_t* file =
            pcap_open_offline_with_tstamp_precision(path, PCAP_TSTAMP_PRECISION_NANO, error);
        ASSERT_NE(file, nullptr) << error;
        m_merged.Adopt(file);
    }

    // The forwarder's capture shows `f` cut to kCut bytes, stamped `nanoseconds`: true with the
    // whole frame appended to m_delivered.
    bool Take(const Frame& f) {
        pcap_pkthdr header{};
        header.ts.tv_sec = f.nanoseconds / 1000000000;
        header.ts.tv_usec = f.nanoseconds % 1000000000;
        header.len = static_cast<bpf_u_int32>(f.bytes.size());
        header.caplen = std::min(header.len, kCut);
        return m_merged.Take(header, reinterpret_cast<const std::uint8_t*>(f.bytes.data()),
                             &MergedCaptureTest::Deliver, this);
    }

    static void Deliver(void* user, const std::uint8_t* frame, std::uint32_t length) {
        static_cast<MergedCaptureTest*>(user)->m_delivered.emplace_back(
            reinterpret_cast<const char*>(frame), length);
    }

    // The forwarder's view of `f`: stamped a little after the merged capture's.
    static Frame Seen(const Frame& f) { return {f.bytes, f.nanoseconds + 700}; }

    CMergedCapture m_merged;
    std::vector<std::string> m_delivered;
    std::string m_path;
    // Three merged frames 2 us apart, each just past a second's boundary from the last.
    const Frame m_one{Bytes(65226, 1), 5'999'999'000};
    const Frame m_two{Bytes(65226, 2, true), 6'000'001'000};
    const Frame m_three{Bytes(30000, 3), 6'000'003'000};
};

TEST_F(MergedCaptureTest, EachCutFrameIsFoundWholeInTurn) {
    Ring({m_one, m_two, m_three});
    EXPECT_TRUE(Take(Seen(m_one)));
    EXPECT_TRUE(Take(Seen(m_two)));
    EXPECT_TRUE(Take(Seen(m_three)));
    ASSERT_EQ(m_delivered.size(), 3u);
    EXPECT_EQ(m_delivered[0], m_one.bytes);
    EXPECT_EQ(m_delivered[1], m_two.bytes);
    EXPECT_EQ(m_delivered[2], m_three.bytes);
    EXPECT_EQ(m_merged.Lost(), 0u);
    // Nothing more there: a further cut frame is lost, and nothing waits.
    EXPECT_FALSE(Take({Bytes(20000, 4), 6'000'009'000}));
    EXPECT_EQ(m_merged.Lost(), 1u);
}

TEST_F(MergedCaptureTest, FramesTheForwardersRingDroppedArePassedOver) {
    Ring({m_one, m_two, m_three});
    EXPECT_TRUE(Take(Seen(m_three)));
    ASSERT_EQ(m_delivered.size(), 1u);
    EXPECT_EQ(m_delivered[0], m_three.bytes);
    EXPECT_EQ(m_merged.Lost(), 0u);
}

TEST_F(MergedCaptureTest, AFrameThisRingDroppedIsLostAndTheNextOneWaitsForItsTurn) {
    // The merged ring had no room for the second frame; the third waits, then comes whole.
    Ring({m_one, m_three});
    EXPECT_TRUE(Take(Seen(m_one)));
    EXPECT_FALSE(Take(Seen(m_two)));
    EXPECT_EQ(m_merged.Lost(), 1u);
    EXPECT_TRUE(Take(Seen(m_three)));
    ASSERT_EQ(m_delivered.size(), 2u);
    EXPECT_EQ(m_delivered[0], m_one.bytes);
    EXPECT_EQ(m_delivered[1], m_three.bytes);
    EXPECT_EQ(m_merged.Lost(), 1u);
}

TEST_F(MergedCaptureTest, AWaitingFrameTheForwarderNeverShowsIsPassedOver) {
    // Both rings dropped a frame: the merged one the second, the forwarder's the third.
    const Frame four{Bytes(40000, 5), 6'000'005'000};
    Ring({m_one, m_three, four});
    EXPECT_TRUE(Take(Seen(m_one)));
    EXPECT_FALSE(Take(Seen(m_two)));  // the third now waits
    EXPECT_TRUE(Take(Seen(four)));
    ASSERT_EQ(m_delivered.size(), 2u);
    EXPECT_EQ(m_delivered[1], four.bytes);
    EXPECT_EQ(m_merged.Lost(), 1u);
}

TEST_F(MergedCaptureTest, AFrameCutInThisCaptureTooIsLostNotSentCut) {
    Ring({m_one, m_three}, 40000);
    EXPECT_FALSE(Take(Seen(m_one)));
    EXPECT_TRUE(Take(Seen(m_three)));  // 30000 bytes: whole
    ASSERT_EQ(m_delivered.size(), 1u);
    EXPECT_EQ(m_delivered[0], m_three.bytes);
    EXPECT_EQ(m_merged.Lost(), 1u);
}

TEST_F(MergedCaptureTest, WithoutACaptureEveryCutFrameIsLost) {
    EXPECT_FALSE(Take(Seen(m_one)));
    EXPECT_EQ(m_merged.Lost(), 1u);
    EXPECT_TRUE(m_delivered.empty());
}

TEST(MergedCaptureOrder, SameOnlyWithTheSameLengthAndBytes) {
    using Order = CMergedCapture::Order;
    const std::string a = Bytes(3000, 1), b = Bytes(3000, 2, true), c = Bytes(3001, 1);
    auto mark = [](const std::string& bytes, std::int64_t fraction, std::uint32_t captured) {
        return CMergedCapture::Mark{7, fraction, static_cast<std::uint32_t>(bytes.size()), captured,
                                    reinterpret_cast<const std::uint8_t*>(bytes.data())};
    };
    const CMergedCapture::Mark wanted = mark(a, 500, kCut);
    // The same frame, stamped before or after the forwarder's.
    EXPECT_EQ(CMergedCapture::Compare(wanted, mark(a, 400, 3000)), Order::kSame);
    EXPECT_EQ(CMergedCapture::Compare(wanted, mark(a, 600, 3000)), Order::kSame);
    // Another frame of the same length, bytes differing within the cut; or of another length.
    EXPECT_EQ(CMergedCapture::Compare(wanted, mark(b, 400, 3000)), Order::kEarlier);
    EXPECT_EQ(CMergedCapture::Compare(wanted, mark(b, 500, 3000)), Order::kEarlier);
    EXPECT_EQ(CMergedCapture::Compare(wanted, mark(b, 501, 3000)), Order::kLater);
    EXPECT_EQ(CMergedCapture::Compare(wanted, mark(c, 900, 3001)), Order::kLater);
    // Held shorter than the cut: it cannot be shown to be the same.
    EXPECT_EQ(CMergedCapture::Compare(wanted, mark(a, 400, 1000)), Order::kEarlier);
}

}  // namespace
