// The forwarder's flow queue: per-flow order, a quiet flow ahead of a busy one's backlog, drops
// from the fattest flow only, byte fairness between busy flows, and which packets share a flow.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <vector>

#include "engine/FlowQueue.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// An IPv4 packet of `length` bytes from 10.1.0.<host> to 10.2.0.10, TCP or UDP with the given
// ports, carrying `sequence` in its last four bytes.
Bytes Packet(int host, int length, std::uint32_t sequence, std::uint8_t protocol = 6,
             std::uint16_t sourcePort = 5001, std::uint16_t destinationPort = 80) {
    Bytes p(static_cast<std::size_t>(length), 0);
    p[0] = 0x45;
    p[2] = static_cast<std::uint8_t>(length >> 8);
    p[3] = static_cast<std::uint8_t>(length);
    p[6] = 0x40;  // DF
    p[8] = 64;
    p[9] = protocol;
    const std::uint8_t addresses[8] = {10, 1, 0, static_cast<std::uint8_t>(host), 10, 2, 0, 10};
    std::copy(addresses, addresses + 8, p.begin() + 12);
    p[20] = static_cast<std::uint8_t>(sourcePort >> 8);
    p[21] = static_cast<std::uint8_t>(sourcePort);
    p[22] = static_cast<std::uint8_t>(destinationPort >> 8);
    p[23] = static_cast<std::uint8_t>(destinationPort);
    for (int i = 0; i < 4; ++i)
        p[p.size() - 4 + i] = static_cast<std::uint8_t>(sequence >> (8 * i));
    return p;
}

struct Popped {
    int host;
    std::uint32_t sequence;
    int length;
};

bool PopOne(CFlowQueue& queue, Popped& popped) {
    const std::uint8_t* packet;
    int length;
    if (!queue.Pop(packet, length)) return false;
    popped.host = packet[15];
    popped.sequence = 0;
    for (int i = 3; i >= 0; --i) popped.sequence = popped.sequence << 8 | packet[length - 4 + i];
    popped.length = length;
    return true;
}

bool Push(CFlowQueue& queue, const Bytes& p) {
    return queue.Push(p.data(), static_cast<int>(p.size()));
}

// Two hosts whose flows (host 10 over TCP, the other over `protocol`) fall in different buckets.
std::pair<int, int> TwoBuckets(std::uint8_t protocol = 6) {
    for (int h = 11; h < 200; ++h) {
        if (CFlowQueue::BucketOf(Packet(10, 60, 0).data(), 60) !=
            CFlowQueue::BucketOf(Packet(h, 60, 0, protocol).data(), 60)) {
            return {10, h};
        }
    }
    return {10, 10};
}

TEST(FlowQueue, AQuietFlowGoesAheadOfABusyBacklogAndEachFlowKeepsItsOrder) {
    CFlowQueue queue(64, 1500);
    auto [bulk, quiet] = TwoBuckets(1);
    ASSERT_NE(bulk, quiet);
    for (std::uint32_t i = 0; i < 40; ++i) ASSERT_TRUE(Push(queue, Packet(bulk, 1500, i)));
    Popped p;
    for (std::uint32_t i = 0; i < 5; ++i) {
        ASSERT_TRUE(PopOne(queue, p));
        EXPECT_EQ(p.sequence, i);
    }
    // A ping arrives behind 35 queued packets: it is the next or the one after.
    ASSERT_TRUE(Push(queue, Packet(quiet, 84, 1000, 1)));
    int waited = 0;
    std::uint32_t next = 5;
    bool sawPing = false;
    for (int guard = 0; guard < 100 && PopOne(queue, p); ++guard) {
        if (p.host == quiet) {
            sawPing = true;
            continue;
        }
        if (!sawPing) ++waited;
        EXPECT_EQ(p.sequence, next++) << "the bulk flow's order";
    }
    EXPECT_TRUE(sawPing);
    EXPECT_LE(waited, 1);
    EXPECT_EQ(next, 40u) << "nothing lost";
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(queue.Drops(), 0u);
}

TEST(FlowQueue, AFullQueueDropsTheOldestPacketsOfTheFattestFlow) {
    CFlowQueue queue(16, 1500);
    auto [bulk, quiet] = TwoBuckets(17);
    ASSERT_NE(bulk, quiet);
    ASSERT_TRUE(Push(queue, Packet(quiet, 100, 500, 17)));
    for (std::uint32_t i = 0; i < 15; ++i) ASSERT_TRUE(Push(queue, Packet(bulk, 1500, i)));
    EXPECT_EQ(queue.Queued(), 16);
    // Five more of the bulk flow, and one more of the quiet one: only the bulk flow loses, its
    // oldest first.
    for (std::uint32_t i = 15; i < 20; ++i) ASSERT_TRUE(Push(queue, Packet(bulk, 1500, i)));
    ASSERT_TRUE(Push(queue, Packet(quiet, 100, 501, 17)));
    EXPECT_EQ(queue.Queued(), 16);
    EXPECT_EQ(queue.Drops(), 6u);
    std::vector<std::uint32_t> quietSeen, bulkSeen;
    Popped p;
    for (int guard = 0; guard < 32 && PopOne(queue, p); ++guard) {
        (p.host == quiet ? quietSeen : bulkSeen).push_back(p.sequence);
    }
    EXPECT_EQ(quietSeen, (std::vector<std::uint32_t>{500, 501}));
    std::vector<std::uint32_t> expected;
    for (std::uint32_t i = 6; i < 20; ++i) expected.push_back(i);
    EXPECT_EQ(bulkSeen, expected);
}

TEST(FlowQueue, BusyFlowsShareByBytesNotByPackets) {
    CFlowQueue queue(256, 1500);
    auto [big, small] = TwoBuckets();
    for (std::uint32_t i = 0; i < 100; ++i) {
        ASSERT_TRUE(Push(queue, Packet(big, 1500, i)));
        ASSERT_TRUE(Push(queue, Packet(small, 150, i)));
    }
    // Over the first 60 packets sent, both flows got about the same bytes.
    std::map<int, int> bytes;
    Popped p;
    for (int i = 0; i < 60; ++i) {
        ASSERT_TRUE(PopOne(queue, p));
        bytes[p.host] += p.length;
    }
    EXPECT_GT(bytes[big], 0);
    EXPECT_GT(bytes[small], 0);
    const double ratio = static_cast<double>(bytes[big]) / bytes[small];
    EXPECT_GT(ratio, 0.7);
    EXPECT_LT(ratio, 1.5);
    // And everything else still comes out, none lost.
    int rest = 0;
    for (int guard = 0; guard < 300 && PopOne(queue, p); ++guard) ++rest;
    EXPECT_EQ(rest, 140);
}

TEST(FlowQueue, PiecesOfOneDatagramShareAFlowAndPortsSeparateFlows) {
    // Fragments: the first shows ports, the others do not; all must fall in one bucket.
    Bytes first = Packet(10, 1500, 0, 17, 1111, 2222);
    first[6] = 0x20;  // more fragments, offset 0
    Bytes middle = Packet(10, 1500, 1, 17, 9, 9);
    middle[6] = 0x20;
    middle[7] = 185;  // offset 1480
    Bytes last = Packet(10, 300, 2, 17, 7, 7);
    last[6] = 0x01;
    last[7] = 0x72;  // offset 2960, the last piece: no "more fragments"
    const int bucket = CFlowQueue::BucketOf(first.data(), 1500);
    EXPECT_EQ(CFlowQueue::BucketOf(middle.data(), 1500), bucket);
    EXPECT_EQ(CFlowQueue::BucketOf(last.data(), 300), bucket);
    // Unfragmented TCP flows between the same hosts spread over buckets by their ports.
    std::map<int, int> buckets;
    for (std::uint16_t port = 40000; port < 40064; ++port) {
        Bytes p = Packet(10, 60, 0, 6, port, 5201);
        ++buckets[CFlowQueue::BucketOf(p.data(), 60)];
    }
    EXPECT_GE(buckets.size(), 30u);
    // Short or odd packets still get a bucket, without reading past their end.
    Bytes tiny(8, 0x45);
    EXPECT_EQ(CFlowQueue::BucketOf(tiny.data(), 8), 0);
}

TEST(FlowQueue, RefusesWhatDoesNotFitASlotAndStartsOverOnClear) {
    CFlowQueue queue(4, 1500);
    Bytes big = Packet(10, 1501, 0);
    EXPECT_FALSE(queue.Push(big.data(), 1501));
    EXPECT_FALSE(queue.Push(big.data(), 0));
    EXPECT_TRUE(queue.Empty());
    for (std::uint32_t i = 0; i < 4; ++i) ASSERT_TRUE(Push(queue, Packet(10, 1500, i)));
    queue.Clear();
    EXPECT_TRUE(queue.Empty());
    Popped p;
    EXPECT_FALSE(PopOne(queue, p));
    // All four slots are free again: four more go in without a drop.
    for (std::uint32_t i = 0; i < 4; ++i) ASSERT_TRUE(Push(queue, Packet(10, 1500, 10 + i)));
    EXPECT_EQ(queue.Drops(), 0u);
    ASSERT_TRUE(PopOne(queue, p));
    EXPECT_EQ(p.sequence, 10u);
}

}  // namespace
