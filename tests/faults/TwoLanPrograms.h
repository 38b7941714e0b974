// Two real tunnel programs (VANTRELL_BINARY: the dialog program `vantrell`, or the daemon
// `vantrelld`) on the two-LAN topology (tests/support/LanTopology.h, drawn there), one per
// router, for tests of what the operator sees when something goes wrong (a crash, a restart, a
// WAN outage, a peer that stops reading) and of the daemon as a whole. Every program it starts
// is killed by PID and reaped. Used from the test's thread.
#pragma once

#include <sys/types.h>

#include <string>

#include "tests/support/LanTopology.h"

namespace testsupport {

enum class TunnelMode { kUdp, kTcp };

class CTwoLanPrograms : public CLanTopology {
  public:
    CTwoLanPrograms();
    ~CTwoLanPrograms() override;

    bool Ok() const { return CLanTopology::Ok() && !m_dirA.empty() && !m_dirB.empty(); }

    // Writes end A's (or B's) settings with Auto Start on. In TCP mode A listens and B connects
    // unless `initiate` says otherwise for this end.
    void Configure(char end, TunnelMode mode);
    void Configure(char end, TunnelMode mode, bool initiate);
    // The [Tunnel] "Key" the next Configure of `end` writes ("" writes none).
    void SetKey(char end, const std::string& key) { (end == 'A' ? m_keyA : m_keyB) = key; }
    // What the end's program wrote on standard error since it was last started.
    std::string ErrorText(char end) const;
    // The folder holding the end's settings file.
    const std::string& Dir(char end) const { return end == 'A' ? m_dirA : m_dirB; }
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
    std::string m_dirA, m_dirB;
    std::string m_keyA, m_keyB;
    pid_t m_pidA = -1, m_pidB = -1;
};

}  // namespace testsupport
