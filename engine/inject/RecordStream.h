// Reads the TCP stream's records (4-byte little-endian length, then the packet; length 0 a
// keep-alive) from one buffer that each receive fills with as many bytes as the socket holds, so
// that one system call brings many records. Every packet is handed out in place with 14 writable
// bytes in front of it, where the Ethernet header goes: the frame is injected without a copy.
// Only a record cut by the buffer's end is moved back to its start (at most once per buffer).
//
// Use, on one thread (the injector's):
//     received = recv(stream.Space(), stream.SpaceSize());  stream.Commit(received);
//     for (CRecordStream::Packet p; (event = stream.Next(p)) != kNeedMore;) ...
// A packet's bytes, and the 14 in front of it, stay valid until the next Next, Commit or
// Restart; the next packet's header overwrites the end of this one. Pure code: no I/O, one
// buffer allocated by the constructor.
#pragma once

#include <cstdint>
#include <memory>

class CRecordStream {
  public:
    enum class Event {
        kNeedMore,   // no whole record is buffered: receive into Space()
        kKeepAlive,  // a zero-length record, consumed
        kPacket,     // a packet, consumed
        kBadLength,  // a length beyond wire::kMaxAcceptedLength: the stream cannot go on
    };
    struct Packet {
        std::uint8_t* frame = nullptr;  // 14 writable bytes, then the packet
        int length = 0;                 // packet bytes
    };

    // `capacity`: bytes one receive may bring, at least one largest record.
    explicit CRecordStream(int capacity);

    CRecordStream(const CRecordStream&) = delete;
    CRecordStream& operator=(const CRecordStream&) = delete;

    // Drops everything buffered, a partly received record included (a new connection).
    void Restart();

    // Where the next received bytes go, and how many fit there (always room for the rest of the
    // record in progress once Next has returned kNeedMore).
    std::uint8_t* Space() const { return m_buffer.get() + m_end; }
    int SpaceSize() const { return m_size - m_end; }
    // `received` (0 < received <= SpaceSize()) bytes have landed at Space().
    void Commit(int received);

    Event Next(Packet& packet);

    // Bytes buffered but not yet handed out (for tests and traces).
    int Buffered() const { return m_end - m_start; }

  private:
    // Makes room for `needed` bytes from the start of the record in progress.
    void MakeRoom(int needed);

    const int m_size;
    std::unique_ptr<std::uint8_t[]> m_buffer;
    int m_start;  // the first byte not handed out: the start of a record
    int m_end;    // one past the last received byte
};
