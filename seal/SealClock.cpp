#include "seal/SealClock.h"

#include <chrono>

namespace seal {

std::uint64_t CSealClock::MonotonicNs() const {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

std::uint64_t CSealClock::WallNs() const {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

const CSealClock& CSealClock::System() {
    static const CSealClock clock;
    return clock;
}

}  // namespace seal
