#include "engine/wire/Segmenter.h"

#include <algorithm>
#include <bit>
#include <cstring>

// IPv4 header (RFC 791), network byte order; IHL counts 32-bit words, 5..15:
//   0: version (high 4 bits) | IHL      1: TOS          2-3: total length (header + payload)
//   4-5: identification                 6-7: flags (0x4000 DF, 0x2000 MF) | offset in 8-byte units
//   8: TTL   9: protocol   10-11: header checksum   12-15: source   16-19: destination
//   20..: options, up to IHL * 4
// TCP header (RFC 9293) behind it:
//   4-7: sequence number   12: data offset (high 4 bits, 32-bit words, 5..15)
//   13: flags (0x80 CWR, 0x08 PSH, 0x01 FIN)   16-17: checksum over pseudo-header + segment
namespace {

constexpr int kMinIpHeader = 20;
constexpr int kMinTcpHeader = 20;
constexpr std::uint8_t kProtocolTcp = 6;
constexpr std::uint16_t kDontFragment = 0x4000;
constexpr std::uint16_t kMoreFragments = 0x2000;
constexpr std::uint16_t kOffsetMask = 0x1FFF;
constexpr std::uint8_t kTcpCwr = 0x80;
constexpr std::uint8_t kTcpPsh = 0x08;
constexpr std::uint8_t kTcpFin = 0x01;
constexpr std::uint8_t kOptionEnd = 0;
constexpr std::uint8_t kOptionNop = 1;
constexpr std::uint8_t kOptionCopied = 0x80;  // option goes into every fragment

std::uint16_t Get16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}
std::uint32_t Get32(const std::uint8_t* at) {
    return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 |
           at[3];
}
void Put16(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}
void Put32(std::uint8_t* at, std::uint32_t value) {
    Put16(at, value >> 16);
    Put16(at + 2, value);
}

// Folds a one's complement sum to 16 bits.
std::uint32_t Fold(std::uint64_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum);
}

// One's complement sum of big-endian 16-bit words, an odd last byte padded with zero. The bulk
// is summed eight bytes at a time in the machine's own order: the one's complement sum does not
// depend on byte order except for a final swap of its two bytes.
std::uint32_t AddWords(std::uint32_t sum, const std::uint8_t* data, int length) {
    int i = 0;
    if (length >= 16) {
        std::uint64_t wide = 0;
        for (; i + 8 <= length; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, data + i, sizeof word);
            wide += (word & 0xFFFFFFFF) + (word >> 32);  // at most 2^33 per step: no overflow
        }
        std::uint32_t folded = Fold(wide);
        if constexpr (std::endian::native == std::endian::little) {
            folded = ((folded & 0xFF) << 8) | (folded >> 8);
        }
        sum += folded;
    }
    for (; i + 1 < length; i += 2) sum += std::uint32_t{data[i]} << 8 | data[i + 1];
    if (i < length) sum += std::uint32_t{data[i]} << 8;
    return sum;
}
std::uint16_t Finish(std::uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

void SetIpChecksum(std::uint8_t* ip, int headerSize) {
    Put16(ip + 10, 0);
    Put16(ip + 10, Finish(AddWords(0, ip, headerSize)));
}

}  // namespace

CSegmenter::CSegmenter(int mtu)
    : m_mtu(std::min(mtu, kMaxIpPacket)),
      m_buffer(std::make_unique<std::uint8_t[]>(kHeadroom + kMaxIpPacket)) {}

CSegmenter::Action CSegmenter::Begin(const std::uint8_t* packet, int length,
                                     const std::uint8_t* frameHeader) {
    m_packet = packet;
    m_next = 0;
    m_count = 0;
    m_bytes = 0;
    m_action = Action::kDrop;

    if (packet != nullptr && length >= 0 && length <= m_mtu) {
        // Fits: handed back untouched, whatever it holds.
        m_action = Action::kPass;
        m_total = length;
    } else if (packet != nullptr && length >= kMinIpHeader && (packet[0] >> 4) == 4) {
        m_headerSize = (packet[0] & 0x0F) * 4;
        m_total = Get16(packet + 2);
        // The total length, not the captured length, ends the packet: a frame may be padded.
        if (m_headerSize >= kMinIpHeader && m_headerSize <= length && m_total <= length &&
            m_total >= m_headerSize) {
            const std::uint16_t fragment = Get16(packet + 6);
            const bool wholeTcp = packet[9] == kProtocolTcp && (fragment & kMoreFragments) == 0 &&
                                  (fragment & kOffsetMask) == 0;
            if (m_total <= m_mtu) {
                m_action = Action::kPass;
            } else if (wholeTcp) {
                // Merged TCP is cut whatever its DF bit says: it restores what was on the wire.
                if (PlanSegments()) m_action = Action::kSegment;
            } else if ((fragment & kDontFragment) == 0) {
                if (PlanFragments()) m_action = Action::kFragment;
            }
        }
    }

    switch (m_action) {
        case Action::kPass:
            m_count = 1;
            m_bytes = m_total;
            ++m_totals.passed;
            break;
        case Action::kSegment:
            ++m_totals.segmented;
            break;
        case Action::kFragment:
            ++m_totals.fragmented;
            break;
        case Action::kDrop:
            ++m_totals.dropped;
            break;
    }
    if (m_action == Action::kSegment || m_action == Action::kFragment) {
        if (frameHeader != nullptr)
            std::memcpy(m_buffer.get(), frameHeader, kHeadroom);
        else
            std::memset(m_buffer.get(), 0, kHeadroom);
    }
    return m_action;
}

bool CSegmenter::PlanSegments() {
    if (m_total < m_headerSize + kMinTcpHeader) return false;
    const std::uint8_t* tcp = m_packet + m_headerSize;
    m_tcpHeader = (tcp[12] >> 4) * 4;
    if (m_tcpHeader < kMinTcpHeader || m_headerSize + m_tcpHeader > m_total) return false;
    const int mss = m_mtu - m_headerSize - m_tcpHeader;
    if (mss <= 0) return false;
    const int payload = m_total - m_headerSize - m_tcpHeader;  // > mss, as m_total > m_mtu
    m_firstChunk = mss;
    m_laterChunk = mss;
    m_count = (payload + mss - 1) / mss;
    m_bytes = m_count * (m_headerSize + m_tcpHeader) + payload;
    return true;
}

bool CSegmenter::PlanFragments() {
    const int payload = m_total - m_headerSize;
    const int offset = (Get16(m_packet + 6) & kOffsetMask) * 8;
    // The reassembled datagram's payload must stay addressable by the 13-bit offset.
    if (offset + payload > kMaxIpPacket) return false;

    // Fragments after the first keep only the options marked "copied" (RFC 791), padded with
    // end-of-list bytes to a whole 32-bit word. A malformed option list cannot be split safely.
    std::memcpy(m_laterHeader, m_packet, kMinIpHeader);
    int later = kMinIpHeader;
    for (int i = kMinIpHeader; i < m_headerSize;) {
        const std::uint8_t type = m_packet[i];
        if (type == kOptionEnd) break;
        if (type == kOptionNop) {
            ++i;
            continue;
        }
        if (i + 1 >= m_headerSize) return false;
        const int size = m_packet[i + 1];
        if (size < 2 || i + size > m_headerSize) return false;
        if (type & kOptionCopied) {
            std::memcpy(m_laterHeader + later, m_packet + i, size);
            later += size;
        }
        i += size;
    }
    while (later % 4 != 0) m_laterHeader[later++] = kOptionEnd;
    m_laterHeader[0] = static_cast<std::uint8_t>(0x40 | later / 4);
    m_laterHeaderSize = later;

    m_firstChunk = (m_mtu - m_headerSize) & ~7;
    m_laterChunk = (m_mtu - m_laterHeaderSize) & ~7;  // >= m_firstChunk
    if (m_firstChunk < 8) return false;
    const int rest = payload - m_firstChunk;  // > 0, as m_total > m_mtu
    const int laterCount = (rest + m_laterChunk - 1) / m_laterChunk;
    m_count = 1 + laterCount;
    m_bytes = m_headerSize + m_firstChunk + laterCount * m_laterHeaderSize + rest;
    return true;
}

bool CSegmenter::Next(Segment& segment) {
    if (m_next >= m_count) return false;
    const int index = m_next++;
    if (m_action == Action::kPass) {
        segment.packet = m_packet;
        segment.length = m_total;
        segment.headroom = nullptr;
    } else {
        if (m_action == Action::kSegment)
            BuildSegment(index);
        else
            BuildFragment(index);
        std::uint8_t* out = m_buffer.get() + kHeadroom;
        segment.packet = out;
        segment.length = Get16(out + 2);
        segment.headroom = m_buffer.get();
    }
    ++m_totals.packetsOut;
    m_totals.bytesOut += static_cast<std::uint64_t>(segment.length);
    return true;
}

// Segment `index` as the kernel's TCP segmentation makes it: the headers repeated with their
// options, the IP identification counting up from the original, the sequence number advanced by
// the payload before it, CWR on the first segment only, PSH and FIN on the last only, and both
// checksums computed afresh (a merged packet's TCP checksum is left unfinished by the offload).
void CSegmenter::BuildSegment(int index) {
    std::uint8_t* out = m_buffer.get() + kHeadroom;
    const int headers = m_headerSize + m_tcpHeader;
    const int payload = m_total - headers;
    const int start = index * m_firstChunk;
    const int chunk = std::min(m_firstChunk, payload - start);
    const int length = headers + chunk;

    std::memcpy(out, m_packet, static_cast<std::size_t>(headers));
    std::memcpy(out + headers, m_packet + headers + start, static_cast<std::size_t>(chunk));
    Put16(out + 2, static_cast<std::uint32_t>(length));
    Put16(out + 4, Get16(m_packet + 4) + static_cast<std::uint32_t>(index));
    SetIpChecksum(out, m_headerSize);

    std::uint8_t* tcp = out + m_headerSize;
    Put32(tcp + 4, Get32(tcp + 4) + static_cast<std::uint32_t>(start));
    if (index > 0) tcp[13] &= static_cast<std::uint8_t>(~kTcpCwr);
    if (index < m_count - 1) tcp[13] &= static_cast<std::uint8_t>(~(kTcpPsh | kTcpFin));
    Put16(tcp + 16, 0);
    std::uint32_t sum = AddWords(0, out + 12, 8);  // pseudo-header: source, destination,
    sum += kProtocolTcp;                           // zero and protocol,
    sum += static_cast<std::uint32_t>(length - m_headerSize);  // TCP length
    Put16(tcp + 16, Finish(AddWords(sum, tcp, length - m_headerSize)));
}

// Fragment `index` (RFC 791): the first keeps the whole header, later ones the copied options
// only; every fragment but the last carries MF, the last keeps the original's MF, so a packet
// that was already a fragment stays one; offsets count on from the original's.
void CSegmenter::BuildFragment(int index) {
    std::uint8_t* out = m_buffer.get() + kHeadroom;
    const int payload = m_total - m_headerSize;
    const int start = index == 0 ? 0 : m_firstChunk + (index - 1) * m_laterChunk;
    const int chunk = std::min(index == 0 ? m_firstChunk : m_laterChunk, payload - start);
    const int headerSize = index == 0 ? m_headerSize : m_laterHeaderSize;
    const int length = headerSize + chunk;

    std::memcpy(out, index == 0 ? m_packet : m_laterHeader, static_cast<std::size_t>(headerSize));
    std::memcpy(out + headerSize, m_packet + m_headerSize + start, static_cast<std::size_t>(chunk));
    Put16(out + 2, static_cast<std::uint32_t>(length));
    const std::uint16_t original = Get16(m_packet + 6);
    std::uint32_t flags = original & ~kOffsetMask;
    if (index < m_count - 1) flags |= kMoreFragments;
    const std::uint32_t offset = (original & kOffsetMask) + static_cast<std::uint32_t>(start / 8);
    Put16(out + 6, flags | offset);
    SetIpChecksum(out, headerSize);
}
