#include "link/LinkWatch.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

void CLinkWatch::SetLimits(const Limits& limits) {
    m_silenceMs.store(limits.silenceMs, std::memory_order_relaxed);
    m_unacknowledgedMs.store(limits.unacknowledgedMs, std::memory_order_relaxed);
    m_stalledSendMs.store(limits.stalledSendMs, std::memory_order_relaxed);
}

void CLinkWatch::Prepare(SOCKET connection) const {
    unsigned timeout = m_unacknowledgedMs.load(std::memory_order_relaxed);
    // Without it only the silence and stalled-send limits remain: not acted on.
    ::setsockopt(connection, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout);
}

bool CLinkWatch::IsSilent(SOCKET connection) const {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(connection, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return false;
    return info.tcpi_last_data_recv >= m_silenceMs.load(std::memory_order_relaxed);
}
