#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/inject/RecordStream.h"
#include "engine/wire/WireFormat.h"
#include "tests/engine/wire/TestPackets.h"

namespace {

using wiretest::Bytes;
using wiretest::MakePacket;
using wiretest::MakeRecord;

// What a reader reported for a stream.
struct Seen {
    int keepAlives = 0;
    int badLengths = 0;
    std::vector<Bytes> packets;
};

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
    for (std::uint32_t length : {65527u, 65535u, 65536u, 0x80000000u, 0x80000005u, 0xFFFFFFFFu}) {
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
        // Judged only once all four length bytes are in.
        m_stream.Restart();
        EXPECT_EQ(Feed(Bytes(header.begin(), header.begin() + 3), {1}).badLengths, 0);
        EXPECT_EQ(Feed(Bytes(header.begin() + 3, header.end()), {1}).badLengths, 1);
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

}  // namespace
