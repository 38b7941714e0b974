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

    CInterfaceProbe();  // opens the datagram socket the queries go through
    ~CInterfaceProbe();
    CInterfaceProbe(const CInterfaceProbe&) = delete;
    CInterfaceProbe& operator=(const CInterfaceProbe&) = delete;

    // Two ioctl calls; never blocks. Not present when the socket could not be opened.
    Status Query(const char* name) const;

  private:
    int m_socket;
};

}  // namespace platform
