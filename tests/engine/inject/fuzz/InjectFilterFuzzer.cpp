// libFuzzer target: CInjectFilter on arbitrary packets and subnets. The packet is copied into a
// buffer of exactly its length (AddressSanitizer catches a read past it). The verdict is checked
// against the rules worked out independently, with address ranges instead of masks: a packet
// passes exactly when no rule is broken, and a refusal names a rule that the packet does break.
//
// Input: this end's address (4 bytes) and prefix length (1 byte, modulo 33), the other end's
// address and prefix length, the virtual address (4 bytes), then the packet.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/inject/InjectFilter.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

std::uint32_t Word(const std::uint8_t* at) {
    return std::uint32_t(at[0]) << 24 | std::uint32_t(at[1]) << 16 | std::uint32_t(at[2]) << 8 |
           at[3];
}

struct Range {
    std::uint64_t first;
    std::uint64_t last;
    bool Holds(std::uint32_t address) const { return address >= first && address <= last; }
};

Range RangeOf(std::uint32_t address, unsigned prefix) {
    const std::uint64_t size = std::uint64_t(1) << (32 - prefix);
    const std::uint64_t first = address / size * size;
    return {first, first + size - 1};
}

std::uint32_t Mask(unsigned prefix) {
    return prefix == 0 ? 0 : ~std::uint32_t(0) << (32 - prefix);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 14) return 0;
    const std::uint32_t thisAddress = Word(data), otherAddress = Word(data + 5);
    const unsigned thisPrefix = data[4] % 33, otherPrefix = data[9] % 33;
    const std::uint32_t virtualAddress = Word(data + 10);
    CInjectFilter filter;
    filter.Configure(thisAddress, Mask(thisPrefix), otherAddress, Mask(otherPrefix),
                     virtualAddress);

    const std::size_t length = size - 14;
    std::vector<std::uint8_t> packet(data + 14, data + size);
    packet.shrink_to_fit();
    using V = CInjectFilter::Verdict;
    const V verdict = filter.Check(length == 0 ? nullptr : packet.data(), static_cast<int>(length));
    Check(CInjectFilter::Describe(verdict) != nullptr);

    if (length < 20) {
        Check(verdict == V::kTooShort);
        return 0;
    }
    const std::uint8_t* p = packet.data();
    const std::size_t header = std::size_t(p[0] & 0x0F) * 4;
    const std::size_t total = std::size_t(p[2]) << 8 | p[3];
    const std::uint32_t source = Word(p + 12), destination = Word(p + 16);
    const Range here = RangeOf(thisAddress, thisPrefix), there = RangeOf(otherAddress, otherPrefix);
    const bool smallSubnet = thisPrefix >= 31;  // no network or broadcast address

    bool broken[10] = {};
    broken[int(V::kNotIpv4)] = (p[0] >> 4) != 4;
    broken[int(V::kBadHeaderLength)] = header < 20;
    broken[int(V::kBadTotalLength)] = total < header || total > length;
    broken[int(V::kDestinationOutside)] = !here.Holds(destination);
    broken[int(V::kDestinationNetwork)] = !smallSubnet && destination == here.first;
    broken[int(V::kDestinationBroadcast)] = !smallSubnet && destination == here.last;
    broken[int(V::kDestinationVirtual)] = destination == virtualAddress;
    broken[int(V::kSourceOutside)] = !there.Holds(source);
    bool any = false;
    for (bool b : broken) any = any || b;

    if (verdict == V::kPass) {
        Check(!any);
    } else {
        Check(verdict != V::kTooShort && broken[int(verdict)]);
    }
    return 0;
}
