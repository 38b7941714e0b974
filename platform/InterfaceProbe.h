// Whether a network interface is there and up, asked of the kernel by name: the packet workers
// use it to notice a LAN card that went down, was deleted or was re-created under the same name
// while their capture stays quiet. Owned by one worker and used from its thread only.
#pragma once

namespace platform {

class CInterfaceProbe {
  public:
    struct Status {
        bool present = false;  // an interface by that name exists
        int index = 0;         // its interface index (a re-created interface gets a new one)
        bool up = false;       // administratively up (IFF_UP)
    };

    CInterfaceProbe() = default;
    ~CInterfaceProbe();
    CInterfaceProbe(const CInterfaceProbe&) = delete;
    CInterfaceProbe& operator=(const CInterfaceProbe&) = delete;

    // (Re)opens the datagram socket the queries go through, in the calling thread's network
    // namespace: the one whose interfaces Query sees.
    void Open();
    // Two ioctl calls; never blocks. Without the socket (not opened, or no descriptor left) the
    // interface counts as present and up, with index -1.
    Status Query(const char* name) const;

  private:
    int m_socket = -1;
};

}  // namespace platform
