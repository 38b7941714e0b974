// The packets the forwarder has taken from its capture ring in one go, laid out so that they
// leave in one system call: in TCP mode as records back to back in one buffer (one send), in UDP
// mode as the datagrams of all their fragments (one sendmmsg). Each packet is copied once, into
// the batch; the datagrams point into it. The bytes and their order are those of single packets
// sent one after the other.
// Sealed (a channel given): in UDP mode each fragment is copied into a datagram slot of its own
// and sealed there as it is added (one copy, sealed in place); in TCP mode each packet is laid out
// as a sealed frame still to be sealed (frame header, room for the data header, the packet, room
// for the tag), which the link seals in place when it holds the connection's turn.
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

  private:
    bool AddSealedFragments(const std::uint8_t* packet, int length);

    const Form m_form;
    seal::CSealedChannel* const m_channel;
    const int m_maxDatagrams;  // before m_capacity, which a sealed batch derives from it
    const int m_capacity;
    std::unique_ptr<std::uint8_t[]> m_buffer;
    std::unique_ptr<std::uint8_t[]> m_headers;  // one header byte per datagram
    std::unique_ptr<iovec[]> m_parts;           // two per datagram: header, payload
    std::unique_ptr<mmsghdr[]> m_messages;
    int m_used = 0;
    int m_packets = 0;
    int m_datagrams = 0;
    bool m_handshakeDue = false;
};
