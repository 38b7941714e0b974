// The bytes that travel between the two ends of the tunnel, in one place. Pure code: no
// sockets, no allocation.
//
// TCP stream: records back to back, nothing between them.
//
//   field       offset  width  byte order      meaning
//   length L    0       4      little-endian   packet bytes that follow; 0: a keep-alive
//   packet      4       L      as captured     one IPv4 packet, Ethernet header removed
//
// A record cut short by the end of its connection is lost: the reader starts afresh with the
// next connection (the injector reads them with CRecordStream). An L above kMaxAcceptedLength
// ends the connection (no way to skip it).
//
// UDP datagram: one fragment k of one packet; the fragments of a packet go in index order.
//
//   field       offset  width  byte order      meaning
//   header      0       1      -               bit 7: last fragment; bits 0-6: index k
//   payload     1       n      as captured     packet bytes 1400k .. 1400k+n-1, 1 <= n <= 1400
//
// A packet of at most 1400 bytes travels as one datagram with header 0x80. An empty datagram,
// a fragment out of sequence or one ending past the frame buffer is dropped, and so is the
// packet it belonged to.
#pragma once

#include <cstdint>

namespace wire {

constexpr int kFrameBufferSize = 65540;  // every worker's frame buffer
constexpr int kEthernetHeaderSize = 14;
constexpr int kMaxPacketLength = 65522;  // 65536-byte snapshot less the Ethernet header
constexpr int kRecordHeaderSize = 4;
constexpr int kFragmentPayload = 1400;
constexpr int kMaxDatagram = 1500;  // a receiver reads at most this much of a datagram
constexpr std::uint8_t kLastFragment = 0x80;
constexpr std::uint8_t kIndexMask = 0x7F;
// Longest record length that fits the receiver's frame buffer after the 14-byte header.
constexpr std::uint32_t kMaxAcceptedLength = kFrameBufferSize - kEthernetHeaderSize;  // 65526

void PutRecordLength(std::uint8_t* at, std::uint32_t length);
std::uint32_t GetRecordLength(const std::uint8_t* at);

// Cuts a packet of `packetLength` bytes into fragments, in index order.
class CFragmenter {
  public:
    struct Fragment {
        std::uint8_t header;  // index, with kLastFragment on the last
        int offset;           // first packet byte carried
        int length;           // payload bytes
    };
    explicit CFragmenter(int packetLength);
    bool Next(Fragment& fragment);  // false when no fragment is left

  private:
    int m_remaining;
    int m_offset = 0;
    std::uint8_t m_index = 0;
};

// Reassembles UDP fragments in place into a 65540-byte frame buffer at byte 14 + 1400k.
class CFragmentReassembler {
  public:
    enum class Result { kDropped, kPartial, kComplete };

    explicit CFragmentReassembler(std::uint8_t* frameBuffer);  // not owned

    // One received datagram of `length` bytes (header byte included). Empty datagrams, a
    // non-final fragment whose payload is not exactly 1400 bytes and fragments that would end
    // past the frame buffer are dropped and reset the expected index, like an out-of-sequence
    // fragment: a completed packet is always exactly the bytes of its own fragments.
    Result Accept(const std::uint8_t* datagram, int length);
    int FrameLength() const;  // 14 + packet length of the last completed packet
    // The next packet is reassembled into `frameBuffer` (65540 bytes, not owned). Called between
    // packets (ExpectedIndex() 0); a packet in progress would lose the fragments it has.
    void Rebase(std::uint8_t* frameBuffer) { m_frame = frameBuffer; }
    std::uint8_t ExpectedIndex() const { return m_expected; }

  private:
    std::uint8_t* m_frame;
    std::uint8_t m_expected = 0;
    int m_frameLength = 0;
};

}  // namespace wire
