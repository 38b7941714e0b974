// A capture on a host's eth0 that sees only the IPv4 frames a tunnel end injects there (their
// source is the virtual MAC), so a test can compare whole injected frames. Opened inside the
// host's namespace; read from one thread.
#pragma once

#include <string>

#include "platform/Pcap.h"
#include "tests/support/NetNamespace.h"

namespace forwardtest {

class CInjectedFrames {
  public:
    CInjectedFrames(const testsupport::CNetNamespace& host, const char* virtualMac);
    ~CInjectedFrames();
    bool Ok() const { return m_capture != nullptr; }
    // The next frame within `milliseconds`; empty when none came.
    std::string Next(int milliseconds);

  private:
    pcap_t* m_capture = nullptr;
};

}  // namespace forwardtest
