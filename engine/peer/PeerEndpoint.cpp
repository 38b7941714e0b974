#include "engine/peer/PeerEndpoint.h"

namespace {
constexpr std::uint64_t kKnown = std::uint64_t{1} << 48;
}

CPeerEndpoint::CPeerEndpoint(std::uint32_t ip, int port, bool learn)
    : m_configured{ip, static_cast<std::uint16_t>(port)}, m_current(Pack(m_configured, !learn)) {}

std::uint64_t CPeerEndpoint::Pack(const Address& address, bool known) {
    return (known ? kKnown : 0) | (std::uint64_t{address.ip} << 16) | address.port;
}

bool CPeerEndpoint::Current(Address& address) const {
    const std::uint64_t word = m_current.load(std::memory_order_acquire);
    address.ip = static_cast<std::uint32_t>(word >> 16);
    address.port = static_cast<std::uint16_t>(word);
    return (word & kKnown) != 0;
}

bool CPeerEndpoint::Learning() const {
    return (m_current.load(std::memory_order_acquire) & kKnown) == 0;
}

bool CPeerEndpoint::Moved() const {
    Address now;
    return Current(now) && !(now == m_configured);
}

bool CPeerEndpoint::OnAuthenticated(const Address& source, Evidence evidence) {
    Address now;
    const bool known = Current(now);
    if (known && now == source) return false;
    if (known && evidence == Evidence::kInitiation) return false;
    m_current.store(Pack(source, true), std::memory_order_release);
    return true;
}

bool CPeerEndpoint::FromPeer(const Address& source) const {
    Address now;
    if (!Current(now)) return false;
    return source.ip == now.ip || source.ip == m_configured.ip;
}
