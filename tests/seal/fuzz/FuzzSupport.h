// Shared by the sealed-tunnel fuzz targets: libsodium's random source replaced by a seeded one
// (so that every input replays the same handshakes and keys), and a clock that stands still.
#pragma once

#include <sodium.h>

#include <cstdint>
#include <cstdlib>

#include "seal/SealClock.h"

namespace sealfuzz {

inline std::uint64_t g_state = 0;

inline std::uint64_t Next() {  // splitmix64
    std::uint64_t z = (g_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

inline const char* Name() {
    return "seeded";
}
inline std::uint32_t Random() {
    return static_cast<std::uint32_t>(Next());
}
inline void Buffer(void* const buffer, const std::size_t size) {
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(Next());
}

// Before sodium_init, once per process (from LLVMFuzzerInitialize).
inline void InstallSeededRandom() {
    static randombytes_implementation implementation = {Name,    Random, nullptr,
                                                        nullptr, Buffer, nullptr};
    if (randombytes_set_implementation(&implementation) != 0 || sodium_init() < 0) std::abort();
}

inline void Reseed() {
    g_state = 0x5EA1ED;
}

class CStillClock : public seal::CSealClock {
  public:
    std::uint64_t MonotonicNs() const override { return m_now; }
    std::uint64_t WallNs() const override { return 1'700'000'000'000'000'000ull + m_now; }
    void Advance(std::uint64_t ns) { m_now += ns; }

  private:
    std::uint64_t m_now = 1'000'000'000'000ull;
};

inline void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace sealfuzz
