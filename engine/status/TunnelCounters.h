// The packet workers' counters since Start: each one is written by exactly one thread (the
// forwarder's or the injector's, as the struct says) and read at any time by the owner's
// thread, which copies them into a status snapshot.
// How: every counter is a relaxed atomic that its one writer bumps with a plain load and store
// (no read-modify-write, so no locked instruction on the packet path), and that a reader loads
// with a relaxed load: it sees each counter whole, a little late at worst, never torn. Nothing
// is allocated and nothing is locked. The counters live in the worker, which is created at
// Start and deleted at Stop, so they start from zero with every run.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/Pcap.h"

// One counter with one writer thread.
class CCounter {
  public:
    void Add(std::uint64_t n = 1) {
        m_value.store(m_value.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }
    void Set(std::uint64_t n) { m_value.store(n, std::memory_order_relaxed); }
    std::uint64_t Get() const { return m_value.load(std::memory_order_relaxed); }

  private:
    std::atomic<std::uint64_t> m_value{0};
};

// Written by the forwarder's thread (LAN to tunnel).
struct ForwarderCounters {
    CCounter packets;         // packets handed to the tunnel (a cut packet: each segment)
    CCounter bytes;           // their IP bytes
    CCounter outsideSubnets;  // captured frames not from this subnet to the other one
    CCounter captureDropped;  // the capture library's ps_drop for the forwarder's capture
    void Sent(int length) {
        packets.Add();
        bytes.Add(static_cast<std::uint64_t>(length));
    }
    // At every pass of the read loop: about once a second, the capture's ps_drop into
    // captureDropped (kept across re-opened captures). One clock read when not due.
    void SampleCapture(pcap_t* capture);

  private:
    std::chrono::steady_clock::time_point m_nextSample{};
    pcap_t* m_sampled = nullptr;       // the capture of the last sample
    std::uint64_t m_earlierDrops = 0;  // drops of the captures closed before it
    std::uint64_t m_sampledDrops = 0;  // its ps_drop at the last sample
};

// Written by the injector's thread (tunnel to LAN).
struct InjectorCounters {
    CCounter packets;          // packets put on the LAN (a cut packet counts once)
    CCounter bytes;            // their IP bytes, as they came out of the tunnel
    CCounter outsideSubnets;   // from the tunnel, not from the other subnet to this one
    CCounter refused;          // from the tunnel, refused by the injector's header check
    CCounter badFragment;      // UDP fragments out of order, empty, cut short or too long
    CCounter badRecordLength;  // TCP records (or sealed frames) of a length refused
    void Delivered(int length) {
        packets.Add();
        bytes.Add(static_cast<std::uint64_t>(length));
    }
    // A packet the injector's check kept off the LAN: one that failed an address test is
    // "outside the subnets", every other "refused".
    void Rejected(bool outsideTheSubnets) { (outsideTheSubnets ? outsideSubnets : refused).Add(); }
};
