// The forwarder's own queue between its capture ring and the tunnel: packets wait here, not in
// the ring, so that under a bulk transfer the ring is emptied at every pass and never overflows,
// and a full queue drops from the flow that holds the most bytes rather than from whoever
// arrives next. Flows (IPv4 source, destination and protocol: a datagram's fragments stay with
// it) hash into buckets served by deficit round robin, a bucket that has just become busy (a
// ping beside a bulk transfer, a new host) ahead of the ones that stay busy. Packets of one
// flow leave in the order they came.
// Owned by the forwarder, which creates it when it learns the MTU; its thread alone calls it.
// Pure code: no I/O; the slots are allocated by the constructor, nothing per packet.
#pragma once

#include <cstdint>
#include <memory>

class CFlowQueue {
  public:
    static constexpr int kBuckets = 64;

    // `slots` packets of up to `slotBytes` bytes each.
    CFlowQueue(int slots, int slotBytes);
    CFlowQueue(const CFlowQueue&) = delete;
    CFlowQueue& operator=(const CFlowQueue&) = delete;

    int SlotBytes() const { return m_slotBytes; }
    bool Empty() const { return m_queued == 0; }
    int Queued() const { return m_queued; }
    // Packets dropped to make room since the queue was made.
    std::uint64_t Drops() const { return m_drops; }

    // Copies the packet in (1 .. SlotBytes() bytes; false, taking nothing, otherwise). When
    // every slot is taken, the oldest packet of the flow holding the most bytes is dropped first.
    bool Push(const std::uint8_t* packet, int length);
    // The next packet to send: its bytes stay valid until the next Push. False when empty.
    bool Pop(const std::uint8_t*& packet, int& length);
    void Clear();

    // Which bucket a packet's flow falls in (for tests).
    static int BucketOf(const std::uint8_t* packet, int length);

  private:
    static constexpr int kNone = -1;
    enum class List : std::uint8_t { kIdle, kNew, kOld };
    struct Bucket {
        int head = kNone;  // oldest slot
        int tail = kNone;
        int bytes = 0;
        int deficit = 0;
        List list = List::kIdle;
        int nextInList = kNone;
    };
    struct BucketList {
        int head = kNone;
        int tail = kNone;
    };

    void Append(BucketList& list, List which, int bucket);
    int TakeFirst(BucketList& list);  // removes and returns the first bucket (kNone: empty)
    void DropFromFattest();
    int TakeSlot(int bucket);  // unlinks the bucket's oldest slot and frees it; returns it

    const int m_slots;
    const int m_slotBytes;
    std::unique_ptr<std::uint8_t[]> m_bytes;
    std::unique_ptr<int[]> m_lengths;
    std::unique_ptr<int[]> m_next;  // next slot in a bucket, or in the free list
    int m_free = kNone;
    Bucket m_buckets[kBuckets];
    BucketList m_new;
    BucketList m_old;
    int m_queued = 0;
    std::uint64_t m_drops = 0;
};
