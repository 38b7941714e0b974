// Reads the sealed frames of a TCP stream (a 4-byte header: 3-byte length and the 0xA5 marker,
// then one message) from one buffer that each receive fills with as many bytes as the socket
// holds, so that one system call brings many frames. Messages are handed out in place and stay
// where they are until Compact: a caller may open several and keep their plaintexts (queued for
// one batched send, say) until it compacts before the next receive.
//
// Use, on one thread (the injector's):
//     reader.Compact();  received = recv(reader.Space(), reader.SpaceSize());
//     reader.Commit(received);
//     for (Message m; (event = reader.Next(m)) == kMessage;) ...
// Pure code: no I/O, one buffer allocated by the constructor.
#pragma once

#include <cstdint>
#include <memory>

#include "seal/SealFormat.h"

namespace seal {

class CSealedStreamReader {
  public:
    enum class Event {
        kNeedMore,  // no whole frame is buffered: Compact, then receive into Space()
        kMessage,   // a message, consumed
        kBadFrame,  // not a sealed frame; everything buffered is dropped, the stream cannot go on
    };
    struct Message {
        std::uint8_t* bytes = nullptr;  // the message, 4 bytes behind its frame's start
        int length = 0;
    };

    // `capacity`: bytes one receive may bring; the buffer holds at least one largest frame.
    explicit CSealedStreamReader(int capacity);
    CSealedStreamReader(const CSealedStreamReader&) = delete;
    CSealedStreamReader& operator=(const CSealedStreamReader&) = delete;

    void Restart();  // drops everything buffered (a new connection)

    // Where the next received bytes go and how many fit there; after Compact, at least the rest
    // of the frame in progress (so never zero).
    std::uint8_t* Space() const { return m_buffer.get() + m_end; }
    int SpaceSize() const { return m_size - m_end; }
    // `received` (0 < received <= SpaceSize()) bytes have landed at Space().
    void Commit(int received);
    Event Next(Message& message);
    // Moves a frame cut by the buffer's end to its start when the space behind it runs short.
    // Every message handed out before may be overwritten.
    void Compact();

    // After kBadFrame: the header read as an unsealed record's length would be one (its top
    // byte zero), which is what a peer without a key sends.
    bool LooksUnsealed() const { return m_looksUnsealed; }
    int Buffered() const { return m_end - m_start; }  // bytes not handed out yet

  private:
    const int m_size;
    std::unique_ptr<std::uint8_t[]> m_buffer;
    int m_start = 0;  // the first byte not handed out: the start of a frame
    int m_end = 0;    // one past the last received byte
    bool m_looksUnsealed = false;
};

}  // namespace seal
