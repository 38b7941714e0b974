// The packets the forwarder has taken from its capture ring in one go, laid out so that they
// leave in one system call: in TCP mode as records back to back in one buffer (one send), in UDP
// mode as the datagrams of all their fragments (one sendmmsg). Each packet is copied once, into
// the batch; the datagrams point into it. The bytes and their order are those of single packets
// sent one after the other.
// Owned by the forwarder, which creates it once; its thread alone calls it. Pure code: no I/O,
// buffers allocated by the constructor, nothing per packet.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdint>
#include <memory>

class CForwardBatch {
  public:
    enum class Form { kRecords, kFragments };

    // Room for `bufferBytes` of packets (at least one largest record) and `maxDatagrams`
    // datagrams (at least one largest packet's fragments).
    CForwardBatch(Form form, int bufferBytes, int maxDatagrams);

    CForwardBatch(const CForwardBatch&) = delete;
    CForwardBatch& operator=(const CForwardBatch&) = delete;

    // Appends one packet of 1 to wire::kMaxPacketLength bytes. False, adding nothing, when it
    // does not fit behind what the batch holds (send the batch, Clear, and add it again); an
    // empty batch takes every packet of a valid length.
    bool Add(const std::uint8_t* packet, int length);
    void Clear();

    bool Empty() const { return m_packets == 0; }
    int Packets() const { return m_packets; }

    // kRecords: the records, back to back.
    const std::uint8_t* Bytes() const { return m_buffer.get(); }
    int Size() const { return m_used; }

    // kFragments: the datagrams, in the order they go (no address: for a connected socket).
    mmsghdr* Datagrams() { return m_messages.get(); }
    int DatagramCount() const { return m_datagrams; }

  private:
    const Form m_form;
    const int m_capacity;
    const int m_maxDatagrams;
    std::unique_ptr<std::uint8_t[]> m_buffer;
    std::unique_ptr<std::uint8_t[]> m_headers;  // one header byte per datagram
    std::unique_ptr<iovec[]> m_parts;           // two per datagram: header, payload
    std::unique_ptr<mmsghdr[]> m_messages;
    int m_used = 0;
    int m_packets = 0;
    int m_datagrams = 0;
};
