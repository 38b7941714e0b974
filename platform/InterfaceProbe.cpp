#include "platform/InterfaceProbe.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

namespace platform {

CInterfaceProbe::CInterfaceProbe() : m_socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}

CInterfaceProbe::~CInterfaceProbe() {
    if (m_socket >= 0) ::close(m_socket);
}

CInterfaceProbe::Status CInterfaceProbe::Query(const char* name) const {
    Status status;
    if (m_socket < 0 || name == nullptr) return status;
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
