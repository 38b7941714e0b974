// What the injector knows of its LAN neighbours, without any I/O: the MAC of each IPv4 address
// of this end's subnet, the addresses being asked for (with a few packets waiting for the
// answer), and those that did not answer. Modelled on the Linux neighbour subsystem, so that a
// silent destination never holds up the others and a changed MAC is learned:
//
//   unknown --Lookup--> INCOMPLETE --OnArp--> REACHABLE --Lookup, 30 s or more after the
//                        |   3 broadcast        ^    ^      last confirmation--> PROBE
//                        |   requests, 1 s      |    |                            | 3 unicast
//              no answer |   apart; packets     |    +-------------OnArp----------+ probes, 1 s
//              3 s after v   wait in a queue    |                                 | apart; the
//                      FAILED --OnArp-----------+     INCOMPLETE <--no answer-----+ MAC still used
//              packets dropped at once; asked again at most once a second while they come
//
// - An ARP request or reply from an address of the subnet updates its entry at once, whatever its
//   state (a gratuitous announcement of a new MAC takes effect immediately), and flushes the
//   packets waiting for it.
// - Only this subnet's hosts are learned (not its network or broadcast address, not the virtual
//   address, never a group or zero MAC). Unsolicited senders are learned only into a free entry
//   or in place of a failed or never used one, so a flood of replies cannot push out the
//   neighbours that traffic goes to; an address that a packet needs may replace, in this order,
//   a failed entry, a never used one, the oldest incomplete one, the least recently used one.
// - Waiting packets live in kQueues pre-allocated queues of kQueuePackets frames and kQueueBytes
//   bytes each; a queue that is full drops the new packet, and an address without a queue takes
//   the oldest one from another incomplete address (whose packets are dropped).
//
// Addresses are in network order, as in the frames; the time is passed in by the caller. Nothing
// is allocated after construction.
// Not thread-safe: one owner thread (the injector) calls everything, or the owner guards every
// call with one lock. A span or pointer it returns stays valid until the next call.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

#include "engine/wire/Ipv4Subnet.h"

class CNeighbourTable {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    static constexpr int kCapacity = 512;
    static constexpr int kQueues = 8;
    static constexpr int kQueuePackets = 8;
    static constexpr int kQueueBytes = 65540;  // the largest frame fits
    static constexpr int kTries = 3;           // broadcast requests, and unicast probes
    static constexpr Clock::duration kRetransmit = std::chrono::seconds(1);
    static constexpr Clock::duration kReachable = std::chrono::seconds(30);  // the default

    enum class State : std::uint8_t { kUnknown, kIncomplete, kReachable, kProbe, kFailed };
    enum class Action : std::uint8_t {
        kSend,    // `mac` holds the destination
        kQueued,  // the frame was copied; it comes back from OnArp when the answer is learned
        kDropped  // not a neighbour, failed, or no room to wait
    };
    struct Answer {
        Action action;
        std::uint8_t mac[6];
    };
    // One ARP request to send: broadcast, or a unicast probe to `mac`.
    struct Request {
        std::uint32_t address;  // network order: the target protocol address
        bool unicast;
        std::uint8_t mac[6];  // unicast only
    };
    // A frame that waited; its bytes 0-5 already hold the learned MAC.
    struct Pending {
        std::uint8_t* frame;
        int length;
    };
    struct Stats {
        std::uint32_t queued = 0;    // frames copied into a queue
        std::uint32_t flushed = 0;   // frames handed back by OnArp
        std::uint32_t overflow = 0;  // frames dropped for want of room (or queue taken over)
        std::uint32_t expired = 0;   // frames dropped when their address failed
        std::uint32_t refused = 0;   // frames dropped for a failed or foreign address
        std::uint32_t requests = 0;  // broadcast requests handed out
        std::uint32_t probes = 0;    // unicast probes handed out
        std::uint32_t ignored = 0;   // ARP senders not learned
        std::uint32_t replaced = 0;  // entries given to another address
    };

    CNeighbourTable();  // allocates the queue storage, once
    ~CNeighbourTable();
    CNeighbourTable(const CNeighbourTable&) = delete;
    CNeighbourTable& operator=(const CNeighbourTable&) = delete;

    // This end's subnet and the virtual address, in host order as the settings give them. A
    // change of any of them forgets every entry. Until it is called, every address but 0.0.0.0
    // and 255.255.255.255 counts as a neighbour.
    void Configure(std::uint32_t thisAddress, std::uint32_t thisMask, std::uint32_t virtualAddress);
    void Clear();  // forgets every entry and drops every waiting frame
    // How long a confirmed MAC is used before it is checked again (kReachable unless a test
    // shortens it).
    void SetReachableTime(Clock::duration reachable) { m_reachable = reachable; }

    // The packet path, for one frame to `address` (its first 14 bytes the Ethernet header, whose
    // destination the caller writes on kSend; a shorter frame cannot wait). Never waits.
    Answer Lookup(std::uint32_t address, const std::uint8_t* frame, int length, TimePoint now);
    // Requests and probes that are due, at most `capacity` of them into `out`; the count. What
    // does not fit stays due. Also moves addresses whose requests ran out to FAILED. Cheap when
    // nothing is due.
    int TakeDue(TimePoint now, Request* out, int capacity);
    // The sender of an ARP request or reply seen on the LAN. The frames that waited for it, now
    // ready to go.
    std::span<const Pending> OnArp(std::uint32_t address, const std::uint8_t* mac, TimePoint now);

    State StateOf(std::uint32_t address) const;
    bool MacOf(std::uint32_t address, std::uint8_t* mac) const;  // false without a MAC
    int Size() const { return m_size; }
    const Stats& GetStats() const { return m_stats; }

  private:
    static constexpr int kBuckets = 1024;
    static constexpr std::int16_t kNone = -1;

    struct Entry {
        std::uint32_t address = 0;  // network order
        State state = State::kUnknown;
        std::uint8_t tries = 0;      // requests or probes sent in this round
        bool used = false;           // the packet path has asked for it
        bool askAgain = false;       // FAILED: a packet came, a request is due
        std::int16_t queue = kNone;  // index into m_queues
        std::int16_t next = kNone;   // hash chain, or the free list
        std::uint8_t mac[6] = {};    // REACHABLE and PROBE
        TimePoint confirmed{};       // the neighbour last proved its MAC
        TimePoint due{};             // INCOMPLETE, PROBE: next send or give-up; FAILED:
                                     // earliest next request
        TimePoint lastUsed{};        // replacement order
    };
    struct Queue {
        std::int16_t owner = kNone;  // entry index
        int count = 0;
        int bytes = 0;
        TimePoint since{};  // taken by its owner
        Pending packets[kQueuePackets] = {};
    };

    bool IsNeighbour(std::uint32_t address) const;
    int Find(std::uint32_t address) const;
    static int Bucket(std::uint32_t address);
    // A fresh entry for `address`, replacing another when the table is full; kNone when
    // `unsolicited` and nothing may be replaced.
    int Allocate(std::uint32_t address, bool unsolicited, TimePoint now);
    void Remove(int index);
    Action Enqueue(int index, const std::uint8_t* frame, int length, TimePoint now);
    void DropQueue(int index, std::uint32_t& counter);
    void Schedule(TimePoint due);

    wire::CIpv4Subnet m_subnet;
    std::uint32_t m_virtual = 0;  // host order
    Clock::duration m_reachable = kReachable;

    Entry m_entries[kCapacity];
    std::int16_t m_buckets[kBuckets];
    std::int16_t m_free = kNone;  // free list through Entry::next
    int m_size = 0;
    Queue m_queues[kQueues];
    std::unique_ptr<std::uint8_t[]> m_storage;  // kQueues * kQueueBytes
    Pending m_flushed[kQueuePackets] = {};
    TimePoint m_nextDue = TimePoint::max();  // no event before this
    Stats m_stats;
};
