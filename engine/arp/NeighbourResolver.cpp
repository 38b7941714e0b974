#include "engine/arp/NeighbourResolver.h"

#include <arpa/inet.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>

CNeighbourResolver::CNeighbourResolver() {
    m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);  // without it the waits time out as before
}

CNeighbourResolver::~CNeighbourResolver() {
    if (m_wake != INVALID_SOCKET) ::close(m_wake);
}

void CNeighbourResolver::Configure(std::uint32_t thisAddress, std::uint32_t thisMask,
                                   std::uint32_t virtualAddress) {
    m_subnet.store(wire::CIpv4Subnet(thisAddress, thisMask), std::memory_order_relaxed);
    m_table.Configure(thisAddress, thisMask, virtualAddress);
}

void CNeighbourResolver::SetReachableTime(CNeighbourTable::Clock::duration reachable) {
    m_table.SetReachableTime(reachable);
}

void CNeighbourResolver::Post(std::uint32_t address, const std::uint8_t* mac) {
    if (!m_subnet.load(std::memory_order_relaxed).Holds(ntohl(address))) return;
    // The wake-up is written and cleared under the mailbox lock (neither call can block), so
    // it is readable exactly while something is posted: a wake-up left behind would make the
    // injector's waits return at once until the next post.
    std::lock_guard lock(m_mailboxMutex);
    int at = 0;
    while (at < m_count && m_mailbox[at].address != address) ++at;
    if (at == kMailbox) {
        m_dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (at == m_count) ++m_count;
    m_mailbox[at].address = address;
    std::memcpy(m_mailbox[at].mac, mac, 6);
    if (!m_posted.exchange(true, std::memory_order_release) && m_wake != INVALID_SOCKET) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(m_wake, &one, sizeof one);  // cannot fill up
    }
}

int CNeighbourResolver::TakeLearned(Learned* out) {
    std::lock_guard lock(m_mailboxMutex);
    const int count = m_count;
    std::memcpy(out, m_mailbox, sizeof(Learned) * static_cast<std::size_t>(count));
    m_count = 0;
    if (m_posted.exchange(false, std::memory_order_acq_rel) && m_wake != INVALID_SOCKET) {
        std::uint64_t posts;
        [[maybe_unused]] ssize_t read = ::read(m_wake, &posts, sizeof posts);
    }
    return count;
}
