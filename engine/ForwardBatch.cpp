#include "engine/ForwardBatch.h"

#include <algorithm>
#include <cstring>

#include "engine/WireFormat.h"

namespace {

int FragmentCount(int length) {
    return (length + wire::kFragmentPayload - 1) / wire::kFragmentPayload;
}

}  // namespace

CForwardBatch::CForwardBatch(Form form, int bufferBytes, int maxDatagrams)
    : m_form(form),
      m_capacity(std::max(bufferBytes, wire::kRecordHeaderSize + wire::kMaxPacketLength)),
      m_maxDatagrams(std::max(maxDatagrams, FragmentCount(wire::kMaxPacketLength))),
      m_buffer(new std::uint8_t[static_cast<std::size_t>(m_capacity)]),
      m_headers(new std::uint8_t[static_cast<std::size_t>(m_maxDatagrams)]()),
      m_parts(new iovec[static_cast<std::size_t>(m_maxDatagrams) * 2]()),
      m_messages(new mmsghdr[static_cast<std::size_t>(m_maxDatagrams)]()) {}

void CForwardBatch::Clear() {
    m_used = 0;
    m_packets = 0;
    m_datagrams = 0;
}

bool CForwardBatch::Add(const std::uint8_t* packet, int length) {
    if (length <= 0 || length > wire::kMaxPacketLength) return false;
    if (m_form == Form::kRecords) {
        if (m_used + wire::kRecordHeaderSize + length > m_capacity) return false;
        std::uint8_t* at = m_buffer.get() + m_used;
        wire::PutRecordLength(at, static_cast<std::uint32_t>(length));
        std::memcpy(at + wire::kRecordHeaderSize, packet, static_cast<std::size_t>(length));
        m_used += wire::kRecordHeaderSize + length;
        ++m_packets;
        return true;
    }
    if (m_used + length > m_capacity || m_datagrams + FragmentCount(length) > m_maxDatagrams) {
        return false;
    }
    std::uint8_t* copy = m_buffer.get() + m_used;
    std::memcpy(copy, packet, static_cast<std::size_t>(length));
    m_used += length;
    ++m_packets;
    // Header byte and payload go out as two parts of one datagram: the kernel joins them.
    wire::CFragmenter fragmenter(length);
    for (wire::CFragmenter::Fragment fragment; fragmenter.Next(fragment); ++m_datagrams) {
        m_headers[m_datagrams] = fragment.header;
        iovec* parts = &m_parts[static_cast<std::size_t>(m_datagrams) * 2];
        parts[0] = {&m_headers[m_datagrams], 1};
        parts[1] = {copy + fragment.offset, static_cast<std::size_t>(fragment.length)};
        mmsghdr& message = m_messages[m_datagrams];
        message = mmsghdr{};
        message.msg_hdr.msg_iov = parts;
        message.msg_hdr.msg_iovlen = 2;
    }
    return true;
}
