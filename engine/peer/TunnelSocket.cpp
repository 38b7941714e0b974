#include "engine/peer/TunnelSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <cstdint>

#include "platform/Trace.h"

namespace {
// Receive buffer: datagrams queue here while the injector waits for the CPU. At 200 Mbit/s the
// system default (about 200 KB, some 90 datagrams counted with their overhead) overflows within
// a few milliseconds; 8 MB covers about 100 ms.
constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;
}  // namespace

CTunnelSocket::CTunnelSocket(int listenPort) : m_listenPort(listenPort) {}

CTunnelSocket::~CTunnelSocket() {
    const SOCKET s = m_socket.load();
    if (s != INVALID_SOCKET) closesocket(s);
}

SOCKET CTunnelSocket::Bind() {
    std::lock_guard<std::mutex> lock(m_bindMutex);
    if (m_socket.load() != INVALID_SOCKET) return m_socket.load();
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return INVALID_SOCKET;
    Trace("UDP socket handle <%d>\n", s);
    // Beyond the system's limit when privileged (the capture needs privileges anyway), else up
    // to the limit. A smaller buffer only means more loss under load: not acted on.
    int receiveBuffer = kReceiveBufferBytes;
    if (::setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer, sizeof receiveBuffer) != 0) {
        ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    // Receive offload: a peer's segmented send arrives as one buffer, cut by the injector rather
    // than by the kernel. Without it (an older kernel) every datagram arrives on its own.
    int receiveOffload = 1;
    ::setsockopt(s, SOL_UDP, UDP_GRO, &receiveOffload, sizeof receiveOffload);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<std::uint16_t>(m_listenPort));
    const int result = ::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    Trace("Bind To UDP port returned <%d>\n", result);
    if (result != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    m_socket.store(s, std::memory_order_release);
    return s;
}
