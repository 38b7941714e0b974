#include "engine/forward/ForwardBatch.h"

#include <netinet/udp.h>

#include <algorithm>
#include <cstring>

#include "engine/wire/WireFormat.h"
#include "seal/SealFormat.h"
#include "seal/SealedChannel.h"

namespace {

// A sealed datagram's slot: the largest fragment sealed.
constexpr int kSealedSlot = seal::kLargestSealedDatagram;
// Bytes a sealed frame adds to its packet: frame header, data header, tag.
constexpr int kFrameOverhead = seal::kStreamHeaderSize + seal::kDataOverhead;

// One send takes at most this many segments (UDP_MAX_SEGMENTS of older kernels) and at most
// this much UDP payload (an IPv4 packet of 65535 bytes).
constexpr int kKernelMaxSegments = 64;
constexpr int kMaxUdpPayload = 65535 - 20 - 8;

int FragmentCount(int length) {
    return (length + wire::kFragmentPayload - 1) / wire::kFragmentPayload;
}

int BufferBytes(CForwardBatch::Form form, bool sealed, int bufferBytes, int maxDatagrams) {
    if (form == CForwardBatch::Form::kRecords) {
        const int largest = sealed ? kFrameOverhead + wire::kMaxPacketLength
                                   : wire::kRecordHeaderSize + wire::kMaxPacketLength;
        return std::max(bufferBytes, largest);
    }
    if (sealed) return maxDatagrams * kSealedSlot;
    return 0;  // unsealed datagrams point into the packets themselves
}

}  // namespace

CForwardBatch::CForwardBatch(Form form, int bufferBytes, int maxDatagrams,
                             seal::CSealedChannel* channel)
    : m_form(form),
      m_channel(channel),
      m_maxDatagrams(std::max(maxDatagrams, FragmentCount(wire::kMaxPacketLength))),
      m_capacity(BufferBytes(form, channel != nullptr, bufferBytes, m_maxDatagrams)),
      m_buffer(new std::uint8_t[static_cast<std::size_t>(m_capacity)]),
      m_headers(new std::uint8_t[static_cast<std::size_t>(m_maxDatagrams)]()),
      m_parts(new iovec[static_cast<std::size_t>(m_maxDatagrams) * 2]()),
      m_messages(new mmsghdr[static_cast<std::size_t>(m_maxDatagrams)]()),
      m_segmented(new mmsghdr[static_cast<std::size_t>(m_maxDatagrams)]()),
      m_firsts(new int[static_cast<std::size_t>(m_maxDatagrams) + 1]()) {
    cmsghdr* control = reinterpret_cast<cmsghdr*>(m_control);
    control->cmsg_level = SOL_UDP;
    control->cmsg_type = UDP_SEGMENT;
    control->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    const std::uint16_t size = static_cast<std::uint16_t>(SegmentSize());
    std::memcpy(CMSG_DATA(control), &size, sizeof size);
}

int CForwardBatch::SegmentSize() const {
    return m_channel != nullptr ? kSealedSlot : 1 + wire::kFragmentPayload;
}

int CForwardBatch::MaxSegments() const {
    return std::min(kKernelMaxSegments, kMaxUdpPayload / SegmentSize());
}

int CForwardBatch::DatagramLength(int datagram) const {
    const iovec* parts = &m_parts[static_cast<std::size_t>(datagram) * 2];
    if (m_channel != nullptr) return static_cast<int>(parts[0].iov_len);
    return static_cast<int>(parts[0].iov_len + parts[1].iov_len);
}

void CForwardBatch::AddMessages(int first) {
    const int segmentSize = SegmentSize();
    const int maxSegments = MaxSegments();
    for (int start = first; start < m_datagrams;) {
        // A message runs on while the datagram before holds a full segment: the kernel cuts
        // every segment but the last at the segment size.
        int end = start + 1;
        int bytes = DatagramLength(start);
        while (end < m_datagrams && end - start < maxSegments &&
               DatagramLength(end - 1) == segmentSize) {
            bytes += DatagramLength(end);
            ++end;
        }
        iovec* parts = &m_parts[static_cast<std::size_t>(start) * 2];
        mmsghdr& message = m_segmented[m_messageCount];
        message = mmsghdr{};
        if (m_channel != nullptr) {
            parts[1] = {parts[0].iov_base, static_cast<std::size_t>(bytes)};
            message.msg_hdr.msg_iov = &parts[1];
            message.msg_hdr.msg_iovlen = 1;
        } else {
            message.msg_hdr.msg_iov = parts;
            message.msg_hdr.msg_iovlen = static_cast<std::size_t>(end - start) * 2;
        }
        if (end - start > 1) {
            message.msg_hdr.msg_control = m_control;
            message.msg_hdr.msg_controllen = sizeof m_control;
        }
        m_firsts[m_messageCount] = start;
        ++m_messageCount;
        m_firsts[m_messageCount] = end;
        start = end;
    }
}

void CForwardBatch::Clear() {
    m_used = 0;
    m_packets = 0;
    m_datagrams = 0;
    m_messageCount = 0;
}

bool CForwardBatch::TakeHandshakeDue() {
    const bool due = m_handshakeDue;
    m_handshakeDue = false;
    return due;
}

bool CForwardBatch::Add(const std::uint8_t* packet, int length) {
    if (length <= 0 || length > wire::kMaxPacketLength) return false;
    if (m_form == Form::kRecords && m_channel != nullptr) {
        // The frame as the link will seal it: the header says the message's length, the packet
        // sits where the link's seal reads its plaintext.
        if (m_used + kFrameOverhead + length > m_capacity) return false;
        std::uint8_t* at = m_buffer.get() + m_used;
        seal::PutStreamHeader(at, seal::kDataOverhead + length);
        std::memcpy(at + seal::kStreamHeaderSize + seal::kDataHeaderSize, packet,
                    static_cast<std::size_t>(length));
        m_used += kFrameOverhead + length;
        ++m_packets;
        return true;
    }
    if (m_form == Form::kRecords) {
        if (m_used + wire::kRecordHeaderSize + length > m_capacity) return false;
        std::uint8_t* at = m_buffer.get() + m_used;
        wire::PutRecordLength(at, static_cast<std::uint32_t>(length));
        std::memcpy(at + wire::kRecordHeaderSize, packet, static_cast<std::size_t>(length));
        m_used += wire::kRecordHeaderSize + length;
        ++m_packets;
        return true;
    }
    if (m_channel != nullptr) return AddSealedFragments(packet, length);
    if (m_datagrams + FragmentCount(length) > m_maxDatagrams) return false;
    // Sent from where it lies: no copy before the kernel's own.
    std::uint8_t* bytes = const_cast<std::uint8_t*>(packet);
    ++m_packets;
    const int first = m_datagrams;
    // Header byte and payload go out as two parts of one datagram: the kernel joins them.
    wire::CFragmenter fragmenter(length);
    for (wire::CFragmenter::Fragment fragment; fragmenter.Next(fragment); ++m_datagrams) {
        m_headers[m_datagrams] = fragment.header;
        iovec* parts = &m_parts[static_cast<std::size_t>(m_datagrams) * 2];
        parts[0] = {&m_headers[m_datagrams], 1};
        parts[1] = {bytes + fragment.offset, static_cast<std::size_t>(fragment.length)};
        mmsghdr& message = m_messages[m_datagrams];
        message = mmsghdr{};
        message.msg_hdr.msg_iov = parts;
        message.msg_hdr.msg_iovlen = 2;
    }
    AddMessages(first);
    return true;
}

bool CForwardBatch::AddSealedFragments(const std::uint8_t* packet, int length) {
    if (m_datagrams + FragmentCount(length) > m_maxDatagrams) return false;
    const int first = m_datagrams;
    wire::CFragmenter fragmenter(length);
    for (wire::CFragmenter::Fragment fragment; fragmenter.Next(fragment); ++m_datagrams) {
        // Header byte and payload go where the seal reads its plaintext, and are sealed there.
        std::uint8_t* slot = m_buffer.get() + static_cast<std::size_t>(m_datagrams) * kSealedSlot;
        std::uint8_t* plaintext = slot + seal::kDataHeaderSize;
        plaintext[0] = fragment.header;
        std::memcpy(plaintext + 1, packet + fragment.offset,
                    static_cast<std::size_t>(fragment.length));
        const seal::CSealedChannel::Sealed sealed =
            m_channel->Seal(plaintext, 1 + fragment.length, slot, kSealedSlot);
        m_handshakeDue = m_handshakeDue || sealed.handshakeDue;
        if (sealed.length == 0) {
            // No session yet: the packet is lost, like one whose ARP fails.
            m_datagrams = first;
            return true;
        }
        iovec* parts = &m_parts[static_cast<std::size_t>(m_datagrams) * 2];
        parts[0] = {slot, static_cast<std::size_t>(sealed.length)};
        mmsghdr& message = m_messages[m_datagrams];
        message = mmsghdr{};
        message.msg_hdr.msg_iov = parts;
        message.msg_hdr.msg_iovlen = 1;
    }
    AddMessages(first);
    ++m_packets;
    return true;
}
