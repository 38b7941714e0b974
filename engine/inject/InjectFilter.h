// What the injector lets onto this end's LAN: a packet from the tunnel must hold a sane IPv4
// header, be addressed to a host of this end's subnet (not its network or broadcast address, not
// the virtual router itself) and come from the other end's subnet. A conforming peer only ever
// sends such packets (its forwarder keeps exactly those), so the check loses nothing it sends; it
// keeps a broken or hostile peer from reaching the LAN's broadcast address, the virtual address,
// 0.0.0.0 (which would go out to MAC 00:00:00:00:00:00) or hosts outside the subnet, and from
// posing as a host of this LAN.
//
// IPv4 header fields examined (offsets into the packet, which starts at frame byte 14):
//   0 version (high 4 bits) and header length in 32-bit words (low 4 bits), 2-3 total length
//   (network order), 12-15 source, 16-19 destination. Bytes past the total length (Ethernet
//   padding a minimum-size frame carried) are allowed.
//
// Pure: no I/O. Owned by the injector: configured on the owner's thread before Launch, then read
// by the injector's thread only.
#pragma once

#include <cstdint>

#include "engine/wire/Ipv4Subnet.h"

class CInjectFilter {
  public:
    enum class Verdict : std::uint8_t {
        kPass,
        kTooShort,              // fewer than 20 bytes: no IPv4 header
        kNotIpv4,               // version is not 4
        kBadHeaderLength,       // header length below 5 words
        kBadTotalLength,        // total length below the header length or beyond what arrived
        kDestinationOutside,    // destination not in this end's subnet
        kDestinationNetwork,    // destination is this end's network address
        kDestinationBroadcast,  // destination is this end's broadcast address
        kDestinationVirtual,    // destination is the virtual router's own address
        kSourceOutside,         // source not in the other end's subnet
    };

    // Addresses and masks in host order (first dotted field in the top byte), as the settings
    // give them. Until it is called, every destination but 0.0.0.0 and 255.255.255.255 and every
    // source pass the address tests.
    void Configure(std::uint32_t thisAddress, std::uint32_t thisMask, std::uint32_t otherAddress,
                   std::uint32_t otherMask, std::uint32_t virtualAddress);

    // `packet` holds `length` readable bytes; nothing beyond them is read.
    Verdict Check(const std::uint8_t* packet, int length) const;

    // A few words for a trace line, such as "destination is the broadcast address".
    static const char* Describe(Verdict verdict);

  private:
    wire::CIpv4Subnet m_this;
    wire::CIpv4Subnet m_other;
    std::uint32_t m_virtual = 0;  // host order
};
