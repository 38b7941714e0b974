#include "engine/wire/WireFormat.h"

#include <cstring>

namespace wire {
namespace {

// Where the length field of a record lands in a frame buffer: right before the packet, so that the
// packet starts where an Ethernet frame's payload does.
constexpr int kLengthOffset = kEthernetHeaderSize - kRecordHeaderSize;  // 10

}  // namespace

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
// CRecordReader

CRecordReader::CRecordReader(std::uint8_t* frameBuffer) : m_frame(frameBuffer) {}

void CRecordReader::Restart() {
    m_received = 0;
}

std::uint8_t* CRecordReader::WritePosition() const {
    return m_frame + kLengthOffset + m_received;
}

int CRecordReader::Wanted() const {
    if (m_received < kRecordHeaderSize) return kRecordHeaderSize - m_received;
    // The length has been judged already, so 4 + L fits an int and the frame buffer.
    return kRecordHeaderSize + static_cast<int>(m_length) - m_received;
}

bool CRecordReader::ReadingLength() const {
    return m_received < kRecordHeaderSize;
}

std::uint32_t CRecordReader::PacketLength() const {
    return m_length;
}

CRecordReader::Event CRecordReader::Advance(int received) {
    // A count the reader did not ask for cannot be placed: ignore it rather than run past the
    // record (the caller never asks the socket for more than Wanted()).
    if (received <= 0 || received > Wanted()) return Event::kNone;
    bool wasReadingLength = ReadingLength();
    m_received += received;
    if (wasReadingLength) {
        if (m_received < kRecordHeaderSize) return Event::kNone;
        // Judged only once all four bytes are in: a zero first byte is not yet a keep-alive.
        m_length = GetRecordLength(m_frame + kLengthOffset);
        if (m_length == 0) {
            m_received = 0;
            return Event::kKeepAlive;
        }
        // The packet must fit behind the 14-byte header of the 65540-byte frame buffer; a longer
        // length can only come from a broken or hostile peer, and there is no way to skip it.
        if (m_length > kMaxAcceptedLength) {
            m_received = 0;
            return Event::kBadLength;
        }
        return Event::kNone;
    }
    if (m_received < kRecordHeaderSize + static_cast<int>(m_length)) return Event::kNone;
    m_received = 0;  // m_length stays readable for the caller until the next Advance
    return Event::kPacket;
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
