// When the link gives up on a connection whose peer has vanished without closing it (power
// loss, a WAN that never comes back, a peer that hangs): nothing at all arrived for the silence
// limit (the peer sends a keep-alive after every 60 s without traffic, so a live peer is never
// that quiet), sent data unacknowledged for the unacknowledged limit (the kernel's
// TCP_USER_TIMEOUT, which also covers a peer whose window stays shut), or one send that moves no
// byte for the stalled-send limit. Each leads to the link's usual Recover.
// A 90 s WAN outage under a live connection stays below every limit and is ridden out.
// A member of CTcpLink; the limits are set before its thread starts (tests shorten them) and
// read from the link's, the forwarder's and the injector's threads: atomics.
#pragma once

#include <atomic>
#include <chrono>

#include "platform/Sockets.h"

class CLinkWatch {
  public:
    struct Limits {
        unsigned silenceMs = 150000;  // well over two keep-alive periods, under 3 minutes
        unsigned unacknowledgedMs = 120000;
        unsigned stalledSendMs = 150000;
    };

    void SetLimits(const Limits& limits);
    unsigned StalledSendMs() const { return m_stalledSendMs.load(std::memory_order_relaxed); }

    // On a connection that has just come up: the unacknowledged limit (TCP_USER_TIMEOUT).
    void Prepare(SOCKET connection) const;
    // True when no data at all (records or keep-alives) has arrived on the connection for the
    // silence limit, as the kernel counts it (TCP_INFO), whether or not anyone has read it yet.
    bool IsSilent(SOCKET connection) const;

  private:
    std::atomic<unsigned> m_silenceMs{Limits{}.silenceMs};
    std::atomic<unsigned> m_unacknowledgedMs{Limits{}.unacknowledgedMs};
    std::atomic<unsigned> m_stalledSendMs{Limits{}.stalledSendMs};
};
