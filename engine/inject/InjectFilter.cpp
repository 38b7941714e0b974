#include "engine/inject/InjectFilter.h"

namespace {

constexpr int kMinHeader = 20;
constexpr int kVersionAndLength = 0;
constexpr int kTotalLength = 2;
constexpr int kSource = 12;
constexpr int kDestination = 16;

}  // namespace

void CInjectFilter::Configure(std::uint32_t thisAddress, std::uint32_t thisMask,
                              std::uint32_t otherAddress, std::uint32_t otherMask,
                              std::uint32_t virtualAddress) {
    m_this = wire::CIpv4Subnet(thisAddress, thisMask);
    m_other = wire::CIpv4Subnet(otherAddress, otherMask);
    m_virtual = virtualAddress;
}

CInjectFilter::Verdict CInjectFilter::Check(const std::uint8_t* packet, int length) const {
    if (length < kMinHeader) return Verdict::kTooShort;
    const int version = packet[kVersionAndLength] >> 4;
    const int headerLength = (packet[kVersionAndLength] & 0x0F) * 4;
    const int totalLength = packet[kTotalLength] << 8 | packet[kTotalLength + 1];
    if (version != 4) return Verdict::kNotIpv4;
    if (headerLength < kMinHeader) return Verdict::kBadHeaderLength;
    if (totalLength < headerLength || totalLength > length) return Verdict::kBadTotalLength;

    const std::uint32_t destination = wire::CIpv4Subnet::AddressAt(packet + kDestination);
    if (!m_this.Holds(destination)) return Verdict::kDestinationOutside;
    if (m_this.HasBroadcast() && destination == m_this.Network()) {
        return Verdict::kDestinationNetwork;
    }
    if (m_this.HasBroadcast() && destination == m_this.Broadcast()) {
        return Verdict::kDestinationBroadcast;
    }
    if (destination == m_virtual) return Verdict::kDestinationVirtual;
    if (!m_other.Holds(wire::CIpv4Subnet::AddressAt(packet + kSource))) {
        return Verdict::kSourceOutside;
    }
    return Verdict::kPass;
}

const char* CInjectFilter::Describe(Verdict verdict) {
    switch (verdict) {
        case Verdict::kPass:
            return "passes";
        case Verdict::kTooShort:
            return "shorter than an IPv4 header";
        case Verdict::kNotIpv4:
            return "not IPv4";
        case Verdict::kBadHeaderLength:
            return "header length below 20 bytes";
        case Verdict::kBadTotalLength:
            return "total length below the header or beyond the packet";
        case Verdict::kDestinationOutside:
            return "destination outside this subnet";
        case Verdict::kDestinationNetwork:
            return "destination is the network address";
        case Verdict::kDestinationBroadcast:
            return "destination is the broadcast address";
        case Verdict::kDestinationVirtual:
            return "destination is the virtual address";
        case Verdict::kSourceOutside:
            return "source outside the other subnet";
    }
    return "unknown";
}
