#include "seal/SealedStreamReader.h"

namespace seal {

CSealedStreamReader::CSealedStreamReader(std::uint8_t* buffer) : m_buffer(buffer) {}

void CSealedStreamReader::Restart() {
    m_received = 0;
    m_length = 0;
}

int CSealedStreamReader::Wanted() const {
    if (m_received < kStreamHeaderSize) return kStreamHeaderSize - m_received;
    return kStreamHeaderSize + m_length - m_received;
}

CSealedStreamReader::Event CSealedStreamReader::Advance(int received) {
    m_received += received;
    if (m_received < kStreamHeaderSize) return Event::kNone;
    if (m_received == kStreamHeaderSize) {
        std::uint32_t header = GetLe32(m_buffer);
        int length = static_cast<int>(header & 0xFFFFFF);
        if (header >> 24 != kStreamMarker || length < kMinMessage || length > kMaxMessage) {
            m_looksUnsealed = header >> 24 == 0;
            Restart();
            return Event::kBadFrame;
        }
        m_length = length;
        return Event::kNone;
    }
    if (m_received < kStreamHeaderSize + m_length) return Event::kNone;
    m_received = 0;  // the message stays readable until the next Advance writes over it
    return Event::kMessage;
}

}  // namespace seal
