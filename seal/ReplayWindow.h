// The receiver's record of which data-message counters it has accepted, as a ring of 64-bit
// words in the manner of RFC 6479: counters up to kWindow behind the greatest one accepted (that
// one included: greatest - kWindow passes, greatest - kWindow - 1 does not) are each accepted
// once, older ones never. The oldest of them lies in the word after the greatest one's, which the
// ring still holds. Moving the window forward clears whole words, so a jump
// costs at most kWords word writes.
// Owned by one transport session; called under the sealed channel's lock.
#pragma once

#include <cstdint>

namespace seal {

class CReplayWindow {
  public:
    static constexpr int kWords = 64;  // 4096 bits
    static constexpr std::uint64_t kWindow =
        (kWords - 1) * 64;  // 4032: the furthest behind the greatest that is accepted

    void Reset();
    // True when `counter` would be accepted now: not seen and not too old. Changes nothing.
    bool Check(std::uint64_t counter) const;
    // Records `counter` as seen; false (and no change) when Check would have said no.
    bool Update(std::uint64_t counter);

  private:
    std::uint64_t m_bits[kWords] = {};
    std::uint64_t m_greatest = 0;  // counter 0 starts unseen with an empty ring
};

}  // namespace seal
