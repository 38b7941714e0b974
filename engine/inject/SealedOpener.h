// The sealed layer's one step for the TCP stream: hands a message from the tunnel to the sealed
// channel before anything in it is looked at. A data message is opened in place, within its own
// bytes (the next message of the stream lies right behind it); a handshake's reply goes to a
// buffer of its own, being longer than the message it answers. (Datagrams are opened by
// CUdpPeer, which also weighs where each one came from.)
// Owned by CTunnelToLan in sealed TCP mode; the injector's thread only (the channel itself is
// thread-safe).
#pragma once

#include <cstdint>

#include "seal/SealedChannel.h"

class CSealedOpener {
  public:
    explicit CSealedOpener(seal::CSealedChannel& channel);  // not owned; outlives the opener

    // `out` is where the plaintext (message + 16) or the reply lies.
    seal::CSealedChannel::Received Open(std::uint8_t* message, int length, std::uint8_t*& out);

  private:
    seal::CSealedChannel& m_channel;
    std::uint8_t m_reply[seal::CSealedChannel::kHandshakeRoom] = {};
};
