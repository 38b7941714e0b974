#include "engine/inject/RecordStream.h"

#include <algorithm>
#include <cstring>

#include "engine/wire/WireFormat.h"

namespace {

// A record's length field lands right behind 10 bytes of room, so that with it the 14-byte
// Ethernet header fits in front of the packet.
constexpr int kHeadroom = wire::kEthernetHeaderSize - wire::kRecordHeaderSize;
// Below this much space left behind a record in progress, it is moved to the buffer's start
// rather than received in slivers.
constexpr int kMinSpace = 16 * 1024;
constexpr int kLargestRecord = wire::kRecordHeaderSize + static_cast<int>(wire::kMaxAcceptedLength);

}  // namespace

CRecordStream::CRecordStream(int capacity)
    : m_size(kHeadroom + std::max(capacity, kLargestRecord)),
      m_buffer(new std::uint8_t[static_cast<std::size_t>(m_size)]()),
      m_start(kHeadroom),
      m_end(kHeadroom) {}

void CRecordStream::Restart() {
    m_start = m_end = kHeadroom;
}

void CRecordStream::Commit(int received) {
    if (received <= 0 || received > SpaceSize()) return;  // never asked for: ignored
    m_end += received;
}

void CRecordStream::MakeRoom(int needed) {
    if (m_start == m_end) {
        m_start = m_end = kHeadroom;
        return;
    }
    if (m_start + needed <= m_size && m_size - m_end >= kMinSpace) return;
    if (m_start == kHeadroom) return;  // already at the start, where every record fits
    const int buffered = m_end - m_start;
    std::memmove(m_buffer.get() + kHeadroom, m_buffer.get() + m_start,
                 static_cast<std::size_t>(buffered));
    m_start = kHeadroom;
    m_end = kHeadroom + buffered;
}

CRecordStream::Event CRecordStream::Next(Packet& packet) {
    const int buffered = m_end - m_start;
    if (buffered < wire::kRecordHeaderSize) {
        MakeRoom(wire::kRecordHeaderSize);
        return Event::kNeedMore;
    }
    const std::uint32_t length = wire::GetRecordLength(m_buffer.get() + m_start);
    if (length == 0) {
        m_start += wire::kRecordHeaderSize;
        return Event::kKeepAlive;
    }
    if (length > wire::kMaxAcceptedLength) return Event::kBadLength;
    const int record = wire::kRecordHeaderSize + static_cast<int>(length);
    if (buffered < record) {
        MakeRoom(record);
        return Event::kNeedMore;
    }
    packet.frame = m_buffer.get() + m_start - kHeadroom;
    packet.length = static_cast<int>(length);
    m_start += record;
    return Event::kPacket;
}
