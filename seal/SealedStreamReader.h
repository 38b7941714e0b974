// Reads sealed TCP frames in place into one buffer: the 4-byte frame header (message length,
// then the marker 0xA5), then the message, which is handed to the sealed channel. A header with
// the wrong marker, or a length no message can have, is a bad frame: the caller closes the
// connection, as after a bad record length.
// Owned by the injector (one per connection's reading); its thread only. The buffer is the
// caller's, kBufferSize bytes, allocated once.
#pragma once

#include <cstdint>

#include "seal/SealFormat.h"

namespace seal {

class CSealedStreamReader {
  public:
    enum class Event {
        kNone,      // more bytes wanted
        kMessage,   // Message() holds MessageLength() bytes until the next Advance
        kBadFrame,  // not a sealed frame; the reader has started over
    };
    static constexpr int kBufferSize = kMaxFrame;

    explicit CSealedStreamReader(std::uint8_t* buffer);  // not owned
    void Restart();                                      // back to the start of a frame

    std::uint8_t* WritePosition() const { return m_buffer + m_received; }
    int Wanted() const;  // bytes still missing of the header, then of the message (>= 1)
    // `received` (1 .. Wanted()) bytes have landed at WritePosition().
    Event Advance(int received);

    const std::uint8_t* Message() const { return m_buffer + kStreamHeaderSize; }
    std::uint8_t* Message() { return m_buffer + kStreamHeaderSize; }
    int MessageLength() const { return m_length; }
    // After kBadFrame: the header read as an unsealed record's length would be one (its top
    // byte zero), which is what a peer without a key sends.
    bool LooksUnsealed() const { return m_looksUnsealed; }

  private:
    std::uint8_t* m_buffer;
    int m_received = 0;  // bytes of the current frame
    int m_length = 0;    // message length, once the header is in
    bool m_looksUnsealed = false;
};

}  // namespace seal
