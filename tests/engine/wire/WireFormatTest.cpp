#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/wire/WireFormat.h"
#include "tests/engine/wire/TestPackets.h"

namespace {

using wiretest::Bytes;
using wiretest::MakePacket;
using wiretest::MakeRecord;

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