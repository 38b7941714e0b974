// Shared by the sealed-tunnel tests: a clock the test moves by hand, keys, and a pair of
// channels joined by hand-carried messages.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "seal/SealClock.h"
#include "seal/SealedChannel.h"
#include "seal/TunnelKey.h"

namespace sealtest {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kMs = 1'000'000;
constexpr std::uint64_t kSecond = 1'000 * kMs;

// Starts at an arbitrary wall time; Advance moves both clocks.
class CFakeClock : public seal::CSealClock {
  public:
    std::uint64_t MonotonicNs() const override { return m_now.load(); }
    std::uint64_t WallNs() const override { return m_wall.load(); }
    void Advance(std::uint64_t ns) {
        m_now += ns;
        m_wall += ns;
    }

  private:
    std::atomic<std::uint64_t> m_now{1'000 * kSecond};
    std::atomic<std::uint64_t> m_wall{1'700'000'000 * kSecond};
};

Bytes FromHex(const std::string& hex);
seal::CTunnelKey KeyFilledWith(std::uint8_t byte);
Bytes Pattern(int length, std::uint8_t seed);

// A message as the channel wrote it, or as it came out of Receive.
struct Output {
    seal::CSealedChannel::Received::Kind kind = seal::CSealedChannel::Received::Kind::kDropped;
    seal::CSealedChannel::Drop drop = seal::CSealedChannel::Drop::kNone;
    Bytes bytes;  // the reply or the plaintext
};

// Two ends of one tunnel on one fake clock. In stream mode the messages handed around are
// whole frames (header included) and Deliver strips the header, as the stream reader would.
struct ChannelPair {
    explicit ChannelPair(seal::CSealedChannel::Mode mode, const seal::SealTimings& timings = {},
                         std::uint8_t keyA = 0x11, std::uint8_t keyB = 0x11);

    Bytes Initiate(seal::CSealedChannel& from);
    Bytes Seal(seal::CSealedChannel& from, const Bytes& plaintext);
    Output Deliver(seal::CSealedChannel& to, const Bytes& wire);
    // A initiates, B answers, A confirms, B takes the confirmation: both have one session.
    void Handshake();
    // Delivers `wire` to `to` and carries every reply back and forth until none comes.
    void Converse(seal::CSealedChannel& to, seal::CSealedChannel& from, Bytes wire);
    seal::CSealedChannel& Other(seal::CSealedChannel& end) { return &end == a.get() ? *b : *a; }

    seal::CSealedChannel::Mode mode;
    CFakeClock clock;
    std::unique_ptr<seal::CSealedChannel> a, b;
};

}  // namespace sealtest
