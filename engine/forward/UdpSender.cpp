#include "engine/forward/UdpSender.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// What a kernel without UDP segmentation, or a path that cannot take it, answers a segmented
// send with: no checksum offload (EIO), or a path MTU below one segment (EMSGSIZE; EINVAL from
// kernels before 6.x), where single datagrams still go, cut into IP fragments.
bool RefusesSegmentation(int error) {
    return error == EIO || error == EINVAL || error == EMSGSIZE || error == ENOPROTOOPT ||
           error == EOPNOTSUPP;
}

}  // namespace

CUdpSender::CUdpSender() : m_socket(INVALID_SOCKET), m_destination{} {}

CUdpSender::~CUdpSender() {
    if (m_socket != INVALID_SOCKET) Close();
}

bool CUdpSender::Open(std::uint32_t address, int port) {
    if (m_socket != INVALID_SOCKET) Close();
    m_socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_socket < 0) {
        m_socket = INVALID_SOCKET;
        return false;
    }
    std::memset(&m_destination, 0, sizeof m_destination);
    m_destination.sin_family = AF_INET;
    m_destination.sin_port = htons(static_cast<std::uint16_t>(port));
    m_destination.sin_addr.s_addr = htonl(address);
    return ::connect(m_socket, reinterpret_cast<const sockaddr*>(&m_destination),
                     sizeof m_destination) == 0;
}

void CUdpSender::Attach(CTunnelSocket* socket, CUdpPeer* peer) {
    if (m_socket != INVALID_SOCKET) Close();
    m_tunnel = socket;
    m_peer = peer;
}

bool CUdpSender::Address(mmsghdr* messages, int count) {
    if (m_tunnel == nullptr) return true;
    if (!m_peer->Destination(m_destination)) return false;
    m_socket = m_tunnel->Bind();  // the first send may come before the injector's bind
    for (int i = 0; i < count; ++i) {
        messages[i].msg_hdr.msg_name = &m_destination;
        messages[i].msg_hdr.msg_namelen = sizeof m_destination;
    }
    m_peer->NoteSent();
    return true;
}

bool CUdpSender::Send(const void* data, int length) {
    if (m_tunnel != nullptr) {
        if (!m_peer->Destination(m_destination)) return false;
        m_peer->NoteSent();
        return ::sendto(m_tunnel->Bind(), data, static_cast<std::size_t>(length), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&m_destination),
                        sizeof m_destination) >= 0;
    }
    return platform::SendNoSignal(m_socket, data, static_cast<std::size_t>(length)) != SOCKET_ERROR;
}

int CUdpSender::SendDatagrams(mmsghdr* messages, int count) {
    if (!Address(messages, count)) return count;
    int failed = 0;
    int next = 0;
    while (next < count) {
        const int sent = TransmitAll(messages + next, count - next);
        if (sent > 0) {
            // A short count says nothing about the next datagram (a pending ICMP error is
            // reported by whichever call comes next): try it again on its own terms.
            next += sent;
            continue;
        }
        // The kernel reports a failure only for the first datagram of a call: that one is
        // lost, not repeated.
        ++failed;
        ++next;
    }
    return failed;
}

int CUdpSender::SendSegmented(mmsghdr* messages, const int* firsts, int count, mmsghdr* datagrams) {
    if (count <= 0) return 0;
    if (!m_segmenting) return SendDatagrams(datagrams + firsts[0], firsts[count] - firsts[0]);
    if (!Address(messages, count)) return firsts[count] - firsts[0];
    int failed = 0;
    int next = 0;
    while (next < count) {
        const int sent = TransmitAll(messages + next, count - next);
        if (sent > 0) {
            next += sent;  // a short count: as in SendDatagrams
            continue;
        }
        const int error = errno;
        if (messages[next].msg_hdr.msg_controllen != 0 && RefusesSegmentation(error)) {
            m_segmenting = false;
            std::fprintf(stderr, "UDP segmentation refused (%s): datagrams go one by one.\n",
                         std::strerror(error));
            return failed + SendDatagrams(datagrams + firsts[next], firsts[count] - firsts[next]);
        }
        failed += firsts[next + 1] - firsts[next];
        ++next;
    }
    return failed;
}

int CUdpSender::TransmitAll(mmsghdr* messages, int count) {
    int sent;
    do {
        sent = Transmit(messages, static_cast<unsigned>(count));
    } while (sent < 0 && errno == EINTR);
    return sent;
}

int CUdpSender::Transmit(mmsghdr* messages, unsigned count) {
    return ::sendmmsg(m_socket, messages, count, MSG_NOSIGNAL);
}

bool CUdpSender::Close() {
    if (m_tunnel != nullptr) return false;  // the tunnel's socket is its owner's to close
    if (m_socket == INVALID_SOCKET) return false;
    bool closed = closesocket(m_socket) == 0;
    m_socket = INVALID_SOCKET;
    return closed;
}
