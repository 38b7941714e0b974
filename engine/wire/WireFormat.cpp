#include "engine/wire/WireFormat.h"

#include <cstring>

namespace wire {

void PutRecordLength(std::uint8_t* at, std::uint32_t length) {
    at[0] = static_cast<std::uint8_t>(length);
    at[1] = static_cast<std::uint8_t>(length >> 8);
    at[2] = static_cast<std::uint8_t>(length >> 16);
    at[3] = static_cast<std::uint8_t>(length >> 24);
}

std::uint32_t GetRecordLength(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// ---------------------------------------------------------------------------------------------
// CFragmenter

CFragmenter::CFragmenter(int packetLength) : m_remaining(packetLength > 0 ? packetLength : 0) {}

bool CFragmenter::Next(Fragment& fragment) {
    if (m_remaining <= 0) return false;
    int n = m_remaining;
    if (n > kFragmentPayload) {
        n = kFragmentPayload;
        fragment.header = m_index;
    } else {
        fragment.header = static_cast<std::uint8_t>(m_index | kLastFragment);
    }
    fragment.offset = m_offset;
    fragment.length = n;
    ++m_index;
    m_offset += n;
    m_remaining -= n;
    return true;
}

// ---------------------------------------------------------------------------------------------
// CFragmentReassembler

CFragmentReassembler::CFragmentReassembler(std::uint8_t* frameBuffer) : m_frame(frameBuffer) {}

CFragmentReassembler::Result CFragmentReassembler::Accept(const std::uint8_t* datagram,
                                                          int length) {
    // An empty datagram has no header byte to judge.
    if (length <= 0) {
        m_expected = 0;
        return Result::kDropped;
    }
    int index = datagram[0] & kIndexMask;
    if (index != m_expected) {
        // Even fragment 0 of a new packet is dropped here; the packet after it arrives whole.
        m_expected = 0;
        return Result::kDropped;
    }
    int payload = length - 1;
    int start = kEthernetHeaderSize + kFragmentPayload * index;
    const bool last = (datagram[0] & kLastFragment) != 0;
    // Fragment k + 1 goes to byte 1400 (k + 1), so fragment k must fill exactly 1400 bytes: a
    // shorter one would leave bytes of an earlier packet in the frame, a longer one be cut.
    if ((!last && payload != kFragmentPayload) || payload > kFrameBufferSize - start) {
        m_expected = 0;
        return Result::kDropped;
    }
    std::memcpy(m_frame + start, datagram + 1, static_cast<std::size_t>(payload));
    ++m_expected;
    if (!last) return Result::kPartial;
    m_expected = 0;
    m_frameLength = start + payload;
    return Result::kComplete;
}

int CFragmentReassembler::FrameLength() const {
    return m_frameLength;
}

}  // namespace wire
