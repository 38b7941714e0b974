// Tells, from the sealed channel's counters, why a sealed tunnel carries nothing: the other end
// sends unsealed traffic (it has no key), its messages fail authentication (another key), or
// connections keep ending without a handshake (TCP: the other end refuses this end's key). A
// problem holds until a handshake completes or a message opens. Pure: the engine feeds it the
// counts it reads.
// A member of CTunnelEngine, used by the engine's owner thread only.
#pragma once

#include <cstdint>

class CSealMonitor {
  public:
    enum class Problem { kNone, kPeerUnsealed, kKeyMismatch, kNoHandshake };

    // Running totals since Start.
    struct Counts {
        std::uint64_t handshakes = 0;    // sessions established
        std::uint64_t opened = 0;        // data messages accepted
        std::uint64_t notSealed = 0;     // datagrams, or TCP frames, that were not sealed
        std::uint64_t authFailures = 0;  // messages that failed authentication
        std::uint32_t connections = 0;   // TCP connections made (the link's generation)
    };

    // At Start: forgets the last run.
    void Reset();
    // Compares with the last poll; returns the problem now.
    Problem Poll(const Counts& now);
    // True the first time `problem` (not kNone) is seen since Reset: say it once, not per poll.
    bool FirstReport(Problem problem);

    // The status line's sentence for a problem ("" for kNone).
    static const char* Sentence(Problem problem);

  private:
    // TCP: this many connections in a row without a handshake count as refused.
    static constexpr std::uint32_t kRefusedConnections = 3;

    Counts m_last;
    Problem m_problem = Problem::kNone;
    std::uint32_t m_connectionsAtProgress = 0;  // connections when the last handshake came
    bool m_reported[4] = {};
};
