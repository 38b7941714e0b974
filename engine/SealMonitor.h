// Tells, from the sealed channel's counters, why a sealed tunnel carries nothing: the other end
// sends unsealed traffic (it has no key), its messages fail authentication (another key), or
// connections keep ending without a handshake (TCP: the other end refuses this end's key). A
// problem holds until a handshake completes or a message opens. Evidence counts only while no
// session is up, and another key only after failures have gone on for kMismatchAfterNs without
// one: a forged or stray message while the tunnel works changes nothing the operator sees (in UDP
// mode the engine counts only what came from the other end's address). Pure: the engine feeds it
// the counts it reads and the time.
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
        bool sessionUp = false;          // a session may seal now
        std::uint64_t nowNs = 0;         // monotonic time of the poll
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
    // Failed authentication without a session for this long before it is called another key.
    static constexpr std::uint64_t kMismatchAfterNs = 3'000'000'000;

    Counts m_last;
    Problem m_problem = Problem::kNone;
    std::uint32_t m_connectionsAtProgress = 0;  // connections when the last handshake came
    bool m_failing = false;              // failures seen without a session since the last progress
    std::uint64_t m_failingSinceNs = 0;  // when the first of them was seen
    bool m_reported[4] = {};
};
