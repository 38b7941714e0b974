// The packets the forwarder has taken from its capture ring in one go, laid out so that they
// leave in one system call: in TCP mode as records back to back in one buffer (one send), in UDP
// mode as the datagrams of all their fragments (one sendmmsg). In TCP mode each packet is copied
// once, into the batch; unsealed UDP datagrams point into the packets themselves (the kernel
// copies them once as it sends), so those bytes must stay put until the batch is sent. The bytes
// and their order are those of single packets sent one after the other.
// Sealed (a channel given): in UDP mode each fragment is copied into a datagram slot of its own
// and sealed there as it is added (one copy, sealed in place); in TCP mode each packet is laid out
// as a sealed frame still to be sealed (frame header, room for the data header, the packet, room
// for the tag), which the link seals in place when it holds the connection's turn.
// In UDP mode the same datagrams are also laid out as segmented messages: each packet's datagrams
// as one message with a UDP_SEGMENT size, which the kernel cuts back into exactly those datagrams
// (every one but the last of a message is full-sized), so a packet makes one trip through the
// stack. The sender uses the segmented form, and the one-datagram-per-message form where the
// kernel refuses segmentation.
// Owned by the forwarder, which creates it once; its thread alone calls it. Pure code: no I/O,
// buffers allocated by the constructor, nothing per packet.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdint>
#include <memory>

namespace seal {
class CSealedChannel;
}

class CForwardBatch {
  public:
    enum class Form { kRecords, kFragments };

    // Room for `bufferBytes` of packets (at least one largest record) and `maxDatagrams`
    // datagrams (at least one largest packet's fragments). `channel` (not owned, outlives the
    // batch; nullptr: unsealed) makes it a sealed batch.
    CForwardBatch(Form form, int bufferBytes, int maxDatagrams,
                  seal::CSealedChannel* channel = nullptr);

    CForwardBatch(const CForwardBatch&) = delete;
    CForwardBatch& operator=(const CForwardBatch&) = delete;

    // Appends one packet of 1 to wire::kMaxPacketLength bytes. False, adding nothing, when it
    // does not fit behind what the batch holds (send the batch, Clear, and add it again); an
    // empty batch takes every packet of a valid length. Sealed UDP: a packet whose fragments
    // cannot be sealed (no session ready) is taken and dropped, none of its fragments kept.
    // Unsealed UDP keeps pointers to `packet`: its bytes must not change until Clear.
    bool Add(const std::uint8_t* packet, int length);
    void Clear();
    // Sealed UDP: whether a seal since the last take asked for a handshake (send one with the
    // batch); clears the flag.
    bool TakeHandshakeDue();

    bool Empty() const { return m_packets == 0; }
    int Packets() const { return m_packets; }

    // kRecords: the records, back to back (sealed: the frames to seal, back to back).
    const std::uint8_t* Bytes() const { return m_buffer.get(); }
    std::uint8_t* MutableBytes() { return m_buffer.get(); }
    int Size() const { return m_used; }

    // kFragments: the datagrams, in the order they go (no address: for a connected socket).
    mmsghdr* Datagrams() { return m_messages.get(); }
    int DatagramCount() const { return m_datagrams; }
    // kFragments: the same datagrams as segmented messages, in the same order. A message of
    // several datagrams carries a UDP_SEGMENT control message giving SegmentSize(); one of a
    // single datagram carries none. Message m holds datagrams FirstDatagrams()[m] up to
    // FirstDatagrams()[m + 1] (MessageCount() + 1 entries).
    mmsghdr* Messages() { return m_segmented.get(); }
    int MessageCount() const { return m_messageCount; }
    const int* FirstDatagrams() const { return m_firsts.get(); }
    // The size of every datagram but the last of a segmented message: a full fragment's
    // datagram (1401 bytes; sealed, 1433).
    int SegmentSize() const;
    // The most datagrams one segmented message holds: the kernel takes at most 64 segments and
    // 65507 bytes of UDP payload in one send.
    int MaxSegments() const;

  private:
    bool AddSealedFragments(const std::uint8_t* packet, int length);
    // Groups datagrams [first, m_datagrams), all of one packet, into segmented messages.
    void AddMessages(int first);
    int DatagramLength(int datagram) const;

    const Form m_form;
    seal::CSealedChannel* const m_channel;
    const int m_maxDatagrams;  // before m_capacity, which a sealed batch derives from it
    const int m_capacity;
    std::unique_ptr<std::uint8_t[]> m_buffer;
    std::unique_ptr<std::uint8_t[]> m_headers;  // one header byte per datagram
    std::unique_ptr<iovec[]> m_parts;           // two per datagram: header, payload
    std::unique_ptr<mmsghdr[]> m_messages;
    // The segmented form: messages over the same iovecs (unsealed: a packet's header and payload
    // parts lie side by side in m_parts; sealed: the second, otherwise unused, part of a message's
    // first datagram spans its slots, which lie side by side).
    std::unique_ptr<mmsghdr[]> m_segmented;
    std::unique_ptr<int[]> m_firsts;  // m_maxDatagrams + 1 entries
    // The one UDP_SEGMENT control message, filled by the constructor and only read afterwards
    // (by the kernel, which copies it): every multi-datagram message points at it.
    alignas(cmsghdr) unsigned char m_control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
    int m_used = 0;
    int m_packets = 0;
    int m_datagrams = 0;
    int m_messageCount = 0;
    bool m_handshakeDue = false;
};
