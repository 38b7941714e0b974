// The Internet checksum (RFC 1071) for tests that build or check IPv4, TCP and UDP headers.
// Written apart from the product's own routine on purpose, so that a slip there is not copied
// here. Header-only, so that the fuzz targets (which compile their sources themselves) use it too.
#pragma once

#include <cstddef>
#include <cstdint>

namespace testsupport {

// The checksum field's value for `length` bytes at `data` (big-endian 16-bit words, an odd last
// byte padded with zero), with `sum` carrying a pseudo-header summed beforehand.
inline std::uint16_t InternetChecksum(const std::uint8_t* data, std::size_t length,
                                      std::uint32_t sum = 0) {
    std::uint64_t total = sum;
    for (std::size_t i = 0; i < length; i += 2)
        total += static_cast<std::uint64_t>(data[i]) << 8 | (i + 1 < length ? data[i + 1] : 0);
    while (total >> 16) total = (total & 0xFFFF) + (total >> 16);
    return static_cast<std::uint16_t>(~total);
}

// True when a block that carries its own checksum is intact: its one's complement sum is all
// ones. A block of zeros does not pass.
inline bool ChecksumHolds(const std::uint8_t* data, std::size_t length, std::uint32_t sum = 0) {
    return InternetChecksum(data, length, sum) == 0;
}

}  // namespace testsupport
