// Two LANs joined by two real `vantrell` programs, for tests of what the operator sees when
// something goes wrong (a crash, a restart, a WAN outage, a peer that stops reading).
//
//   hostA ──lan0── routerA ══wan0══ routerB ──lan0── hostB
//   10.1.0.10      10.1.0.2  172.31.0.1/.2  10.2.0.2      10.2.0.10
//                  vantrell (gateway 10.1.0.1)  vantrell (gateway 10.2.0.1)
//
// Every namespace is made by the fixture and removed with it; every program it starts is
// killed by PID and reaped.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "tests/support/NetNamespace.h"

namespace testsupport {

enum class TunnelMode { kUdp, kTcp };

class CTwoLanPrograms {
  public:
    CTwoLanPrograms();
    ~CTwoLanPrograms();

    bool Ok() const { return m_ok; }
    CNetNamespace& HostA() { return *m_hostA; }
    CNetNamespace& HostB() { return *m_hostB; }
    CNetNamespace& RouterA() { return *m_routerA; }
    CNetNamespace& RouterB() { return *m_routerB; }

    // Writes end A's (or B's) settings with Auto Start on. In TCP mode A listens and B connects
    // unless `initiate` says otherwise for this end.
    void Configure(char end, TunnelMode mode);
    void Configure(char end, TunnelMode mode, bool initiate);
    // Starts (or restarts) the program of end A or B in its router namespace; its PID.
    pid_t Start(char end);
    // Sends `signal` to the end's program; with `reap`, waits (at most `seconds`) for its exit
    // and returns its wait status, else -1.
    int Signal(char end, int signal, bool reap = true, double seconds = 10);
    pid_t Pid(char end) const { return end == 'A' ? m_pidA : m_pidB; }
    std::string SettingsText(char end) const;

    // Seconds until hostA's first ping of hostB is answered, or a negative value after `limit`.
    double SecondsUntilPing(double limit);

  private:
    std::unique_ptr<CNetNamespace> m_hostA, m_routerA, m_routerB, m_hostB;
    std::string m_dirA, m_dirB;
    pid_t m_pidA = -1, m_pidB = -1;
    bool m_ok = false;
};

}  // namespace testsupport
