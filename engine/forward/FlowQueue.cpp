#include "engine/forward/FlowQueue.h"

#include <algorithm>
#include <cstring>

namespace {

// What a bucket may send in one turn before the next busy bucket's: one full Ethernet payload.
constexpr int kQuantum = 1514;

std::uint32_t Mix(std::uint32_t h, std::uint32_t v) {
    h ^= v;
    h *= 0x9E3779B1u;
    return h ^ (h >> 15);
}

}  // namespace

CFlowQueue::CFlowQueue(int slots, int slotBytes)
    : m_slots(std::max(slots, 1)),
      m_slotBytes(std::max(slotBytes, 1)),
      m_bytes(new std::uint8_t[static_cast<std::size_t>(m_slots) * m_slotBytes]),
      m_lengths(new int[static_cast<std::size_t>(m_slots)]()),
      m_next(new int[static_cast<std::size_t>(m_slots)]) {
    Clear();
}

void CFlowQueue::Clear() {
    for (int i = 0; i < m_slots; ++i) m_next[i] = i + 1 < m_slots ? i + 1 : kNone;
    m_free = 0;
    for (Bucket& bucket : m_buckets) bucket = Bucket{};
    m_new = BucketList{};
    m_old = BucketList{};
    m_queued = 0;
}

int CFlowQueue::BucketOf(const std::uint8_t* packet, int length) {
    if (length < 20) return 0;
    // Addresses and protocol only: ports would send a datagram's fragments (which show none)
    // and its whole neighbours to different buckets, and so change their order.
    std::uint32_t h = 0;
    std::uint32_t word;
    std::memcpy(&word, packet + 12, 4);  // source
    h = Mix(h, word);
    std::memcpy(&word, packet + 16, 4);  // destination
    h = Mix(h, word);
    h = Mix(h, packet[9]);  // protocol
    return static_cast<int>(h % kBuckets);
}

void CFlowQueue::Append(BucketList& list, List which, int bucket) {
    Bucket& b = m_buckets[bucket];
    b.list = which;
    b.nextInList = kNone;
    if (list.tail == kNone) {
        list.head = bucket;
    } else {
        m_buckets[list.tail].nextInList = bucket;
    }
    list.tail = bucket;
}

int CFlowQueue::TakeFirst(BucketList& list) {
    const int bucket = list.head;
    if (bucket == kNone) return kNone;
    list.head = m_buckets[bucket].nextInList;
    if (list.head == kNone) list.tail = kNone;
    m_buckets[bucket].nextInList = kNone;
    m_buckets[bucket].list = List::kIdle;
    return bucket;
}

int CFlowQueue::TakeSlot(int bucket) {
    Bucket& b = m_buckets[bucket];
    const int slot = b.head;
    b.head = m_next[slot];
    if (b.head == kNone) b.tail = kNone;
    b.bytes -= m_lengths[slot];
    m_next[slot] = m_free;
    m_free = slot;
    --m_queued;
    return slot;
}

void CFlowQueue::DropFromFattest() {
    int fattest = 0;
    for (int i = 1; i < kBuckets; ++i) {
        if (m_buckets[i].bytes > m_buckets[fattest].bytes) fattest = i;
    }
    if (m_buckets[fattest].head == kNone) return;  // never: a full queue has a busy bucket
    TakeSlot(fattest);
    ++m_drops;
}

bool CFlowQueue::Push(const std::uint8_t* packet, int length) {
    if (length <= 0 || length > m_slotBytes) return false;
    if (m_free == kNone) DropFromFattest();
    const int slot = m_free;
    m_free = m_next[slot];
    std::memcpy(m_bytes.get() + static_cast<std::size_t>(slot) * m_slotBytes, packet,
                static_cast<std::size_t>(length));
    m_lengths[slot] = length;
    m_next[slot] = kNone;
    const int bucket = BucketOf(packet, length);
    Bucket& b = m_buckets[bucket];
    if (b.tail == kNone) {
        b.head = slot;
    } else {
        m_next[b.tail] = slot;
    }
    b.tail = slot;
    b.bytes += length;
    ++m_queued;
    if (b.list == List::kIdle) {
        b.deficit = kQuantum;
        Append(m_new, List::kNew, bucket);
    }
    return true;
}

bool CFlowQueue::Pop(const std::uint8_t*& packet, int& length) {
    if (m_queued == 0) return false;
    // Bounded: each turn either sends or moves a bucket along. A bucket whose last packet took
    // it a slot's length below zero needs that many quanta back, one per round, before it
    // sends again; within that many rounds (and two more) some bucket sends.
    const int rounds = 2 + (m_slotBytes + kQuantum - 1) / kQuantum;
    for (int turns = 0; turns < kBuckets * rounds + 4; ++turns) {
        const bool fromNew = m_new.head != kNone;
        BucketList& list = fromNew ? m_new : m_old;
        const int bucket = list.head;
        if (bucket == kNone) break;
        Bucket& b = m_buckets[bucket];
        if (b.deficit <= 0) {
            TakeFirst(list);
            b.deficit += kQuantum;
            Append(m_old, List::kOld, bucket);
            continue;
        }
        if (b.head == kNone) {
            TakeFirst(list);
            // A new bucket that emptied goes round once more with the busy ones, so that a
            // flow cannot stay "new" by sending one packet at a time.
            if (fromNew) Append(m_old, List::kOld, bucket);
            continue;
        }
        const int slot = TakeSlot(bucket);
        b.deficit -= m_lengths[slot];
        packet = m_bytes.get() + static_cast<std::size_t>(slot) * m_slotBytes;
        length = m_lengths[slot];
        return true;
    }
    return false;  // never with packets queued
}
