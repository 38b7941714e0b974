#include "seal/SealedStreamReader.h"

#include <algorithm>
#include <cstring>

namespace seal {

namespace {
// Below this much space behind a frame in progress, it is moved to the buffer's start rather
// than received in slivers.
constexpr int kMinSpace = 16 * 1024;
}  // namespace

CSealedStreamReader::CSealedStreamReader(int capacity)
    : m_size(std::max(capacity, kMaxFrame)),
      m_buffer(new std::uint8_t[static_cast<std::size_t>(m_size)]()) {}

void CSealedStreamReader::Restart() {
    m_start = m_end = 0;
}

void CSealedStreamReader::Commit(int received) {
    if (received <= 0 || received > SpaceSize()) return;  // never asked for: ignored
    m_end += received;
}

CSealedStreamReader::Event CSealedStreamReader::Next(Message& message) {
    const int buffered = m_end - m_start;
    if (buffered < kStreamHeaderSize) return Event::kNeedMore;
    const int length = StreamMessageLength(m_buffer.get() + m_start);
    if (length < 0) {
        m_looksUnsealed = m_buffer[static_cast<std::size_t>(m_start) + 3] == 0;  // the top byte
        Restart();
        return Event::kBadFrame;
    }
    if (buffered < kStreamHeaderSize + length) return Event::kNeedMore;
    message.bytes = m_buffer.get() + m_start + kStreamHeaderSize;
    message.length = length;
    m_start += kStreamHeaderSize + length;
    return Event::kMessage;
}

void CSealedStreamReader::Compact() {
    if (m_start == m_end) {
        m_start = m_end = 0;
        return;
    }
    // The frame in progress: its header, once that is in, says how much of it is still missing.
    int needed = kStreamHeaderSize;
    if (m_end - m_start >= kStreamHeaderSize) {
        needed += static_cast<int>(GetLe32(m_buffer.get() + m_start) & 0xFFFFFF);
    }
    if (m_start + needed <= m_size && m_size - m_end >= kMinSpace) return;
    if (m_start == 0) return;  // already at the start, where every frame fits
    const int buffered = m_end - m_start;
    std::memmove(m_buffer.get(), m_buffer.get() + m_start, static_cast<std::size_t>(buffered));
    m_start = 0;
    m_end = buffered;
}

}  // namespace seal
