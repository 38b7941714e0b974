// Resolves the injector's destinations without ever waiting: the neighbour table
// (CNeighbourTable: the MACs, the addresses being asked for with the packets that wait for them,
// the addresses that did not answer) and the mailbox through which the ARP agent hands over the
// sender of every ARP request and reply it hears on the LAN, with a wake-up handle that ends the
// injector's readiness waits as soon as something was posted.
// Owned by CArpAgent for its whole life, so what was learned survives Stop and Start.
// Threads: the agent's thread calls Post; the injector's thread calls Table and TakeLearned
// while it runs; the owner's thread calls Configure and SetReachableTime only while no injector
// runs (the last one was joined before, the next one is launched after).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "engine/arp/NeighbourTable.h"
#include "engine/wire/Ipv4Subnet.h"
#include "platform/Sockets.h"

class CNeighbourResolver {
  public:
    static constexpr int kMailbox = 64;
    struct Learned {
        std::uint32_t address;  // network order
        std::uint8_t mac[6];
    };

    CNeighbourResolver();
    ~CNeighbourResolver();
    CNeighbourResolver(const CNeighbourResolver&) = delete;
    CNeighbourResolver& operator=(const CNeighbourResolver&) = delete;

    // This end's subnet and the virtual address, host order (see CNeighbourTable::Configure).
    void Configure(std::uint32_t thisAddress, std::uint32_t thisMask, std::uint32_t virtualAddress);
    void SetReachableTime(CNeighbourTable::Clock::duration reachable);

    // Agent's thread: an ARP sender heard on the LAN (address in network order). Addresses
    // outside this end's subnet are not posted, so a flood of foreign senders cannot crowd out
    // a neighbour's reply; a later post for an address still in the mailbox replaces its MAC. A
    // full mailbox drops the post (counted). Never blocks beyond a short copy.
    void Post(std::uint32_t address, const std::uint8_t* mac);
    // Readable while something waits in the mailbox: the injector adds it to its waits.
    SOCKET WakeHandle() const { return m_wake; }

    // Injector's thread.
    CNeighbourTable& Table() { return m_table; }
    // True when the agent posted since the last TakeLearned; a cheap check.
    bool HasLearned() const { return m_posted.load(std::memory_order_acquire); }
    // Moves what was posted into `out` (room for kMailbox) and clears the wake-up; the count.
    int TakeLearned(Learned* out);

    std::uint32_t GetMailboxDrops() const { return m_dropped.load(std::memory_order_relaxed); }

  private:
    // The injector's thread alone while an injector runs; the owner's thread in between.
    CNeighbourTable m_table;
    // Written by Configure, read by Post on the agent's thread; one atomic word so that a post
    // never sees half a change.
    std::atomic<wire::CIpv4Subnet> m_subnet{};
    static_assert(std::atomic<wire::CIpv4Subnet>::is_always_lock_free);
    // Guards m_mailbox and m_count; held for a copy only, never across a send, a write or a
    // wait.
    std::mutex m_mailboxMutex;
    Learned m_mailbox[kMailbox] = {};
    int m_count = 0;
    // Written under m_mailboxMutex; read without it by HasLearned.
    std::atomic<bool> m_posted{false};
    std::atomic<std::uint32_t> m_dropped{0};  // Post's drops; read by tests and traces
    SOCKET m_wake = INVALID_SOCKET;           // an eventfd; created and closed with the object
};
