#include "engine/arp/NeighbourTable.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <tuple>

#include "engine/arp/MacAddress.h"
#include "engine/wire/WireFormat.h"

CNeighbourTable::CNeighbourTable()
    : m_storage(new std::uint8_t[static_cast<std::size_t>(kQueues) * kQueueBytes]) {
    Clear();
}

CNeighbourTable::~CNeighbourTable() = default;

void CNeighbourTable::Configure(std::uint32_t thisAddress, std::uint32_t thisMask,
                                std::uint32_t virtualAddress) {
    const wire::CIpv4Subnet subnet(thisAddress, thisMask);
    if (subnet == m_subnet && virtualAddress == m_virtual) return;
    m_subnet = subnet;
    m_virtual = virtualAddress;
    Clear();
}

void CNeighbourTable::Clear() {
    for (int i = 0; i < kCapacity; ++i) {
        m_entries[i] = Entry{};
        m_entries[i].next = static_cast<std::int16_t>(i + 1 < kCapacity ? i + 1 : kNone);
    }
    m_free = 0;
    std::fill(std::begin(m_buckets), std::end(m_buckets), kNone);
    for (Queue& queue : m_queues) queue = Queue{};
    m_size = 0;
    m_nextDue = TimePoint::max();
}

bool CNeighbourTable::IsNeighbour(std::uint32_t address) const {
    const std::uint32_t host = ntohl(address);
    return host != m_virtual && m_subnet.HoldsHost(host);
}

int CNeighbourTable::Bucket(std::uint32_t address) {
    return static_cast<int>((address * 0x9E3779B1u) >> 22);  // 10 bits: kBuckets
}

int CNeighbourTable::Find(std::uint32_t address) const {
    for (int i = m_buckets[Bucket(address)]; i != kNone; i = m_entries[i].next) {
        if (m_entries[i].address == address) return i;
    }
    return kNone;
}

void CNeighbourTable::Schedule(TimePoint due) {
    m_nextDue = std::min(m_nextDue, due);
}

int CNeighbourTable::Allocate(std::uint32_t address, bool unsolicited, TimePoint now) {
    int index = m_free;
    if (index != kNone) {
        m_free = m_entries[index].next;
    } else {
        // Replacement order: failed, never used, incomplete (oldest first), then the least
        // recently used. Unsolicited learning may take only the first two.
        auto rank = [&](const Entry& e) {
            int group = 3;
            if (e.state == State::kFailed) {
                group = 0;
            } else if (!e.used) {
                group = 1;
            } else if (e.state == State::kIncomplete) {
                group = 2;
            }
            return std::make_tuple(group, e.lastUsed);
        };
        index = 0;
        auto best = rank(m_entries[0]);
        for (int i = 1; i < kCapacity; ++i) {
            const auto candidate = rank(m_entries[i]);
            if (candidate < best) {
                index = i;
                best = candidate;
            }
        }
        if (unsolicited && std::get<0>(best) > 1) return kNone;
        Remove(index);
        m_free = m_entries[index].next;  // Remove put it on top of the free list
        ++m_stats.replaced;
    }
    Entry& e = m_entries[index];
    e = Entry{};
    e.address = address;
    e.lastUsed = now;
    const int bucket = Bucket(address);
    e.next = m_buckets[bucket];
    m_buckets[bucket] = static_cast<std::int16_t>(index);
    ++m_size;
    return index;
}

void CNeighbourTable::Remove(int index) {
    Entry& e = m_entries[index];
    if (e.queue != kNone) DropQueue(index, m_stats.overflow);
    std::int16_t* link = &m_buckets[Bucket(e.address)];
    while (*link != index) link = &m_entries[*link].next;
    *link = e.next;
    e = Entry{};
    e.next = m_free;
    m_free = static_cast<std::int16_t>(index);
    --m_size;
}

void CNeighbourTable::DropQueue(int index, std::uint32_t& counter) {
    Entry& e = m_entries[index];
    Queue& queue = m_queues[e.queue];
    counter += static_cast<std::uint32_t>(queue.count);
    queue = Queue{};
    e.queue = kNone;
}

CNeighbourTable::Action CNeighbourTable::Enqueue(int index, const std::uint8_t* frame, int length,
                                                 TimePoint now) {
    Entry& e = m_entries[index];
    if (frame == nullptr || length < wire::kEthernetHeaderSize || length > kQueueBytes) {
        ++m_stats.overflow;
        return Action::kDropped;
    }
    if (e.queue == kNone) {
        // A free queue, else the one held longest by another address: a live neighbour answers
        // within milliseconds, so the oldest waiter is the least likely to be answered.
        int chosen = kNone;
        for (int q = 0; q < kQueues; ++q) {
            if (m_queues[q].owner == kNone) {
                chosen = q;
                break;
            }
            if (chosen == kNone || m_queues[q].since < m_queues[chosen].since) chosen = q;
        }
        if (m_queues[chosen].owner != kNone) DropQueue(m_queues[chosen].owner, m_stats.overflow);
        m_queues[chosen].owner = static_cast<std::int16_t>(index);
        m_queues[chosen].since = now;
        e.queue = static_cast<std::int16_t>(chosen);
    }
    Queue& queue = m_queues[e.queue];
    if (queue.count == kQueuePackets || queue.bytes + length > kQueueBytes) {
        ++m_stats.overflow;
        return Action::kDropped;
    }
    std::uint8_t* at = m_storage.get() + static_cast<std::size_t>(e.queue) * kQueueBytes +
                       static_cast<std::size_t>(queue.bytes);
    std::memcpy(at, frame, static_cast<std::size_t>(length));
    queue.packets[queue.count++] = Pending{at, length};
    queue.bytes += length;
    ++m_stats.queued;
    return Action::kQueued;
}

CNeighbourTable::Answer CNeighbourTable::Lookup(std::uint32_t address, const std::uint8_t* frame,
                                                int length, TimePoint now) {
    Answer answer{Action::kDropped, {}};
    if (!IsNeighbour(address)) {
        ++m_stats.refused;
        return answer;
    }
    int index = Find(address);
    if (index == kNone) {
        index = Allocate(address, false, now);
        Entry& e = m_entries[index];
        e.used = true;
        e.state = State::kIncomplete;
        e.due = now;
        Schedule(now);
        answer.action = Enqueue(index, frame, length, now);
        return answer;
    }
    Entry& e = m_entries[index];
    e.used = true;
    e.lastUsed = now;
    switch (e.state) {
        case State::kReachable:
            if (now - e.confirmed >= m_reachable) {
                // Still used meanwhile: the check costs the packet path nothing.
                e.state = State::kProbe;
                e.tries = 0;
                e.due = now;
                Schedule(now);
            }
            [[fallthrough]];
        case State::kProbe:
            answer.action = Action::kSend;
            std::memcpy(answer.mac, e.mac, 6);
            return answer;
        case State::kIncomplete:
            answer.action = Enqueue(index, frame, length, now);
            return answer;
        case State::kFailed:
            if (!e.askAgain && now >= e.due) {
                e.askAgain = true;
                Schedule(e.due);
            }
            ++m_stats.refused;
            return answer;
        case State::kUnknown:
            break;
    }
    return answer;
}

int CNeighbourTable::TakeDue(TimePoint now, Request* out, int capacity) {
    if (now < m_nextDue) return 0;
    int count = 0;
    TimePoint next = TimePoint::max();
    for (int i = 0; i < kCapacity; ++i) {
        Entry& e = m_entries[i];
        const bool waiting = e.state == State::kIncomplete || e.state == State::kProbe ||
                             (e.state == State::kFailed && e.askAgain);
        if (!waiting) continue;
        if (now < e.due) {
            next = std::min(next, e.due);
            continue;
        }
        if (e.state != State::kFailed && e.tries >= kTries) {
            if (e.state == State::kProbe) {
                // The MAC went silent: ask the whole LAN again, as for a new address.
                e.state = State::kIncomplete;
                e.tries = 0;
                std::memset(e.mac, 0, 6);
            } else {
                // No answer to three requests: what waits is dropped, new packets are refused.
                e.state = State::kFailed;
                e.askAgain = false;
                if (e.queue != kNone) DropQueue(i, m_stats.expired);
                continue;  // e.due (the last request + 1 s) is the earliest next request
            }
        }
        if (count == capacity) {
            next = now;  // the rest on the next call
            break;
        }
        Request& request = out[count++];
        request.address = e.address;
        request.unicast = e.state == State::kProbe;
        std::memcpy(request.mac, e.mac, 6);
        if (request.unicast) {
            ++m_stats.probes;
        } else {
            ++m_stats.requests;
        }
        e.askAgain = false;
        if (e.state != State::kFailed) ++e.tries;
        e.due = now + kRetransmit;
        if (e.state != State::kFailed) next = std::min(next, e.due);
    }
    m_nextDue = next;
    return count;
}

std::span<const CNeighbourTable::Pending> CNeighbourTable::OnArp(std::uint32_t address,
                                                                 const std::uint8_t* mac,
                                                                 TimePoint now) {
    if (mac == nullptr || !IsNeighbour(address) || !CMacAddress::IsIndividual(mac)) {
        ++m_stats.ignored;
        return {};
    }
    int index = Find(address);
    if (index == kNone) {
        index = Allocate(address, true, now);
        if (index == kNone) {
            ++m_stats.ignored;
            return {};
        }
    }
    Entry& e = m_entries[index];
    e.state = State::kReachable;
    std::memcpy(e.mac, mac, 6);
    e.confirmed = now;
    e.tries = 0;
    e.askAgain = false;
    if (e.queue == kNone) return {};
    Queue& queue = m_queues[e.queue];
    const int count = queue.count;
    for (int k = 0; k < count; ++k) {
        std::memcpy(queue.packets[k].frame, mac, 6);
        m_flushed[k] = queue.packets[k];
    }
    m_stats.flushed += static_cast<std::uint32_t>(count);
    // The bytes stay where they are until another address takes this queue (a later Lookup).
    queue = Queue{};
    e.queue = kNone;
    return {m_flushed, static_cast<std::size_t>(count)};
}

CNeighbourTable::State CNeighbourTable::StateOf(std::uint32_t address) const {
    const int index = Find(address);
    return index == kNone ? State::kUnknown : m_entries[index].state;
}

bool CNeighbourTable::MacOf(std::uint32_t address, std::uint8_t* mac) const {
    const int index = Find(address);
    if (index == kNone) return false;
    const Entry& e = m_entries[index];
    if (e.state != State::kReachable && e.state != State::kProbe) return false;
    std::memcpy(mac, e.mac, 6);
    return true;
}
