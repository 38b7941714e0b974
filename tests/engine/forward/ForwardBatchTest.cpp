#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "SealTestSupport.h"
#include "engine/forward/ForwardBatch.h"
#include "engine/wire/WireFormat.h"
#include "tests/engine/wire/TestPackets.h"
#include "tests/support/TunnelDatagrams.h"

namespace {

using wiretest::Bytes;
using wiretest::MakePacket;
using wiretest::MakeRecord;

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
}  // namespace
