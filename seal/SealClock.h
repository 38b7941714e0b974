// The time the sealed channel reads: a monotonic clock for session ages, handshake retries and
// time-outs, and the wall clock for the timestamp in each handshake initiation (which must grow
// across restarts of the sending end). Tests pass a clock of their own to run rekeying and
// time-outs in milliseconds.
// System() lives for the program; a test's clock must outlive the channel given it. Both calls
// may come from any thread.
#pragma once

#include <cstdint>

namespace seal {

class CSealClock {
  public:
    virtual ~CSealClock() = default;
    virtual std::uint64_t MonotonicNs() const;  // steady clock, nanoseconds
    virtual std::uint64_t WallNs() const;       // nanoseconds since 1970-01-01 UTC

    static const CSealClock& System();
};

}  // namespace seal
