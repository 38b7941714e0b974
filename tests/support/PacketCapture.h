// A tcpdump writing what one interface of a test namespace carries into a file, and the frames
// read back from it, for tests that look at the bytes on a wire (what a stranger sees). The
// capture runs from Start to Stop (or destruction); its process is killed by PID and reaped.
// Used from the test's thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/NetNamespace.h"

namespace testsupport {

class CPacketCapture {
  public:
    CPacketCapture();
    ~CPacketCapture();
    CPacketCapture(const CPacketCapture&) = delete;
    CPacketCapture& operator=(const CPacketCapture&) = delete;

    // Captures whole frames on `device` in `ns` that match the tcpdump `filter`; true once
    // tcpdump is listening (at most 5 s).
    bool Start(const CNetNamespace& ns, const std::string& device, const std::string& filter);
    // Ends the capture and waits for the file to be complete.
    void Stop();
    // The captured Ethernet frames, in order (empty before Stop).
    std::vector<std::string> Frames() const;

    // Helpers on an Ethernet/IPv4 frame: the UDP or TCP payload ("" when it is neither).
    static std::string TransportPayload(const std::string& frame);
    static bool IsUdp(const std::string& frame);

  private:
    std::string m_dir;
    pid_t m_pid = -1;
};

}  // namespace testsupport
