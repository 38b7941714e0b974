#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/wire/WireFormat.h"

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