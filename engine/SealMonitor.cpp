#include "engine/SealMonitor.h"

void CSealMonitor::Reset() {
    *this = CSealMonitor();
}

CSealMonitor::Problem CSealMonitor::Poll(const Counts& now) {
    if (now.handshakes > m_last.handshakes || now.opened > m_last.opened || now.sessionUp) {
        if (now.handshakes > m_last.handshakes || now.opened > m_last.opened) {
            m_problem = Problem::kNone;
            m_connectionsAtProgress = now.connections;
        }
        m_failing = false;
    } else if (now.notSealed > m_last.notSealed) {
        m_problem = Problem::kPeerUnsealed;
    } else if (now.authFailures > m_last.authFailures && !m_failing) {
        m_failing = true;
        m_failingSinceNs = now.nowNs;
    } else if (m_failing && now.nowNs - m_failingSinceNs >= kMismatchAfterNs) {
        m_problem = Problem::kKeyMismatch;
    } else if (m_problem == Problem::kNone && !m_failing &&
               now.connections - m_connectionsAtProgress >= kRefusedConnections) {
        m_problem = Problem::kNoHandshake;
    }
    m_last = now;
    return m_problem;
}

bool CSealMonitor::FirstReport(Problem problem) {
    bool& reported = m_reported[static_cast<int>(problem)];
    if (problem == Problem::kNone || reported) return false;
    reported = true;
    return true;
}

const char* CSealMonitor::Sentence(Problem problem) {
    switch (problem) {
        case Problem::kPeerUnsealed:
            return "Sealed: the other end sends without a key - nothing carried";
        case Problem::kKeyMismatch:
            return "Sealed: the other end's key is different - nothing carried";
        case Problem::kNoHandshake:
            return "Sealed: no handshake - the other end has another key or none";
        case Problem::kNone:
            break;
    }
    return "";
}
