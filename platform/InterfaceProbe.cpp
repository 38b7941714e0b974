#include "platform/InterfaceProbe.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

namespace platform {

CInterfaceProbe::~CInterfaceProbe() {
    if (m_socket >= 0) ::close(m_socket);
}

void CInterfaceProbe::Open() {
    if (m_socket >= 0) ::close(m_socket);
    m_socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

CInterfaceProbe::Status CInterfaceProbe::Query(const char* name) const {
    Status status;
    if (name == nullptr) return status;
    if (m_socket < 0) {
        // Nothing can be asked: the card counts as there (read errors still tell a loss).
        status.present = status.up = true;
        status.index = -1;
        return status;
    }
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", name);
    if (::ioctl(m_socket, SIOCGIFINDEX, &request) != 0) return status;
    status.present = true;
    status.index = request.ifr_ifindex;
    if (::ioctl(m_socket, SIOCGIFFLAGS, &request) == 0) {
        status.up = (request.ifr_flags & IFF_UP) != 0;
    }
    return status;
}

}  // namespace platform
