#include "seal/ReplayWindow.h"

namespace seal {

namespace {
constexpr std::uint64_t kBitsPerWord = 64;
}

void CReplayWindow::Reset() {
    for (std::uint64_t& word : m_bits) word = 0;
    m_greatest = 0;
}

bool CReplayWindow::Check(std::uint64_t counter) const {
    if (counter > m_greatest) return true;
    if (m_greatest - counter > kWindow) return false;
    std::uint64_t word = (counter / kBitsPerWord) % kWords;
    return (m_bits[word] >> (counter % kBitsPerWord) & 1) == 0;
}

bool CReplayWindow::Update(std::uint64_t counter) {
    if (!Check(counter)) return false;
    if (counter > m_greatest) {
        std::uint64_t current = m_greatest / kBitsPerWord;
        std::uint64_t next = counter / kBitsPerWord;
        std::uint64_t clear = next - current;
        if (clear > static_cast<std::uint64_t>(kWords)) clear = kWords;
        for (std::uint64_t i = 1; i <= clear; ++i) m_bits[(current + i) % kWords] = 0;
        m_greatest = counter;
    }
    m_bits[(counter / kBitsPerWord) % kWords] |= std::uint64_t{1} << (counter % kBitsPerWord);
    return true;
}

}  // namespace seal
