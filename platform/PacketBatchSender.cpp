#include "platform/PacketBatchSender.h"

#include <linux/if_packet.h>
#include <net/if.h>

#include <cerrno>
#include <cstring>

CPacketBatchSender::~CPacketBatchSender() {
    Close();
}

bool CPacketBatchSender::Open(const char* device) {
    Close();
    const unsigned index = device != nullptr ? if_nametoindex(device) : 0;
    if (index == 0) return false;
    // Protocol 0: the socket takes no frames in, it only sends.
    m_socket = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (m_socket < 0) {
        m_socket = INVALID_SOCKET;
        return false;
    }
    // Frames go straight to the driver: the tunnel's traffic has waited in queues enough. Not
    // every kernel has it; without it the frames pass the queueing discipline.
    int bypass = 1;
    ::setsockopt(m_socket, SOL_PACKET, PACKET_QDISC_BYPASS, &bypass, sizeof bypass);
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_ifindex = static_cast<int>(index);
    if (::bind(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        Close();
        return false;
    }
    return true;
}

void CPacketBatchSender::Close() {
    if (m_socket != INVALID_SOCKET) closesocket(m_socket);
    m_socket = INVALID_SOCKET;
    m_queued = 0;
}

bool CPacketBatchSender::Add(const std::uint8_t* frame, int length) {
    if (m_queued == kMaxFrames || length <= 0) return false;
    m_parts[m_queued] = {const_cast<std::uint8_t*>(frame), static_cast<std::size_t>(length)};
    mmsghdr& message = m_messages[m_queued];
    message = mmsghdr{};
    message.msg_hdr.msg_iov = &m_parts[m_queued];
    message.msg_hdr.msg_iovlen = 1;
    ++m_queued;
    return true;
}

int CPacketBatchSender::Send(bool* gone) {
    *gone = false;
    int failed = 0;
    int next = 0;
    while (next < m_queued) {
        int sent;
        do {
            sent =
                ::sendmmsg(m_socket, m_messages + next, static_cast<unsigned>(m_queued - next), 0);
        } while (sent < 0 && errno == EINTR);
        if (sent > 0) {
            next += sent;  // a short count: the next call tells whether the rest goes
            continue;
        }
        // The kernel stopped at a frame it could not take: that one is lost.
        if (sent < 0 && (errno == ENXIO || errno == ENODEV || errno == EBADF)) {
            *gone = true;
            failed += m_queued - next;
            break;
        }
        ++failed;
        ++next;
    }
    m_queued = 0;
    return failed;
}
