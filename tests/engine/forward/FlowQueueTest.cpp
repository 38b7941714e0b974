// The forwarder's flow queue: per-flow order, a quiet flow ahead of a busy one's backlog, drops
// from the fattest flow only, byte fairness between busy flows, and which packets share a flow.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <vector>

#include "engine/forward/FlowQueue.h"

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

TEST(FlowQueue, AUdpFlowKeepsItsOrderThroughFragmentsAndWholeDatagrams) {
    // Three fragments of one datagram (only the first shows ports), then a whole datagram of
    // the same flow: they leave as they came, also when another flow is busy beside them.
    CFlowQueue queue(64, 1500);
    auto [other, host] = TwoBuckets(17);
    ASSERT_NE(other, host);
    Bytes first = Packet(host, 1500, 0, 17, 1111, 2222);
    first[6] = 0x20;  // more fragments, offset 0
    Bytes middle = Packet(host, 1500, 1, 17, 9, 9);
    middle[6] = 0x20;
    middle[7] = 185;  // offset 1480
    Bytes last = Packet(host, 300, 2, 17, 7, 7);
    last[6] = 0x01;
    last[7] = 0x72;  // offset 2960, the last piece: no "more fragments"
    Bytes whole = Packet(host, 100, 3, 17, 1111, 2222);
    for (std::uint32_t i = 0; i < 20; ++i) ASSERT_TRUE(Push(queue, Packet(other, 1500, 100 + i)));
    for (const Bytes* p : {&first, &middle, &last, &whole}) ASSERT_TRUE(Push(queue, *p));
    std::vector<std::uint32_t> order;
    Popped p;
    for (int guard = 0; guard < 64 && PopOne(queue, p); ++guard) {
        if (p.host == host) order.push_back(p.sequence);
    }
    EXPECT_EQ(order, (std::vector<std::uint32_t>{0, 1, 2, 3}));
    // Protocols between the same hosts are flows of their own; short packets get a bucket
    // without a read past their end.
    std::map<int, int> buckets;
    for (std::uint8_t protocol : {1, 6, 17, 47, 50, 58, 89, 132}) {
        Bytes q = Packet(host, 60, 0, protocol);
        ++buckets[CFlowQueue::BucketOf(q.data(), 60)];
    }
    EXPECT_GE(buckets.size(), 6u);
    Bytes tiny(8, 0x45);
    EXPECT_EQ(CFlowQueue::BucketOf(tiny.data(), 8), 0);
}

TEST(FlowQueue, EveryPopSendsWhilePacketsAreQueuedEvenWithJumboSlots) {
    // Every bucket busy with packets of a largest slot: deficits fall a whole slot below zero
    // and take several rounds to recover, yet no Pop comes back empty-handed.
    CFlowQueue queue(256, 9216);
    std::map<int, int> hostOfBucket;
    for (int host = 1; host < 255 && hostOfBucket.size() < CFlowQueue::kBuckets; ++host) {
        Bytes q = Packet(host, 60, 0);
        hostOfBucket.emplace(CFlowQueue::BucketOf(q.data(), 60), host);
    }
    ASSERT_GE(hostOfBucket.size(), 56u);
    for (std::uint32_t round = 0; round < 4; ++round) {
        for (auto& [bucket, host] : hostOfBucket)
            ASSERT_TRUE(Push(queue, Packet(host, 9216, round)));
    }
    int pops = 0;
    Popped p;
    while (!queue.Empty() && pops < 1000) {
        ASSERT_TRUE(PopOne(queue, p)) << "after " << pops << " packets";
        ++pops;
    }
    EXPECT_EQ(pops, 4 * static_cast<int>(hostOfBucket.size()));
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
