// An IPv4 subnet as the settings give it: which addresses it holds, and its network and broadcast
// addresses. The one place where the subnet test and the rule for the smallest subnets are
// written; the forwarder, the injector's filter and the neighbour table all ask it.
//
// Addresses and masks in host order (first dotted field in the top byte); AddressAt reads one
// from the four bytes a packet carries. A plain value (copied, compared, stored in an atomic by
// whoever shares it between threads); pure: no I/O.
#pragma once

#include <bit>
#include <cstdint>

namespace wire {

class CIpv4Subnet {
  public:
    constexpr CIpv4Subnet() = default;  // 0.0.0.0/0: holds every address
    // Host bits in `address` are dropped.
    constexpr CIpv4Subnet(std::uint32_t address, std::uint32_t mask)
        : m_network(address & mask), m_mask(mask) {}

    // Four packet bytes (network order, as they travel) as a host-order address.
    static constexpr std::uint32_t AddressAt(const std::uint8_t* at) {
        return static_cast<std::uint32_t>(at[0]) << 24 | static_cast<std::uint32_t>(at[1]) << 16 |
               static_cast<std::uint32_t>(at[2]) << 8 | static_cast<std::uint32_t>(at[3]);
    }

    constexpr bool Holds(std::uint32_t address) const { return (address & m_mask) == m_network; }
    // A subnet of one or two addresses (a /32 or /31) has no network or broadcast address: every
    // address it holds is a host.
    constexpr bool HasBroadcast() const { return std::popcount(~m_mask) >= 2; }
    constexpr std::uint32_t Network() const { return m_network; }
    constexpr std::uint32_t Broadcast() const { return m_network | ~m_mask; }
    // Holds `address`, and it is neither the network nor the broadcast address.
    constexpr bool HoldsHost(std::uint32_t address) const {
        return Holds(address) &&
               (!HasBroadcast() || (address != m_network && address != Broadcast()));
    }

    constexpr bool operator==(const CIpv4Subnet&) const = default;

  private:
    std::uint32_t m_network = 0;
    std::uint32_t m_mask = 0;
};

}  // namespace wire
