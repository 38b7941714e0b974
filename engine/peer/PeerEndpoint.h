// Where UDP mode sends: the other end's address and port, and the rule by which a sealed tunnel
// moves it. It starts at the configured tunnel address and port; with a key, an authenticated
// datagram from elsewhere (the other end behind a NAT that changed its mapping, or a new outside
// address) moves it there, and an end configured with 0.0.0.0 knows nowhere until the first
// authenticated handshake tells it. Without a key it never moves: nothing proves who sent.
// Pure: no sockets, addresses in host order. Owned by CUdpPeer; the injector's thread moves it,
// the forwarder's thread reads it (one atomic word, so a reader never sees half a move).
#pragma once

#include <atomic>
#include <cstdint>

class CPeerEndpoint {
  public:
    struct Address {
        std::uint32_t ip = 0;  // host order
        std::uint16_t port = 0;
        bool operator==(const Address& other) const { return ip == other.ip && port == other.port; }
    };
    // What authenticated: a data message (keep-alives and confirmations included), the response
    // to this end's own initiation, or the other end's initiation.
    enum class Evidence { kData, kResponse, kInitiation };

    // `learn`: sealed with 0.0.0.0 configured; nothing is known until a handshake arrives.
    CPeerEndpoint(std::uint32_t ip, int port, bool learn);

    // Where to send now; false while learning and nothing has been learnt.
    bool Current(Address& address) const;
    bool Learning() const;
    // True once the endpoint is somewhere else than configured (learnt or moved).
    bool Moved() const;

    // Injector, sealed: a datagram from `source` authenticated as `evidence`. Data and responses
    // move the endpoint to their source (a response cannot be replayed, and data passed the replay
    // window); an initiation moves it only while nothing is known, since a replayed old one
    // authenticates too (it is answered where it came from, but the endpoint moves only once its
    // session's first data message comes). True when the endpoint moved.
    bool OnAuthenticated(const Address& source, Evidence evidence);
    // True when `source` has the address (any port) the other end is known at, or configured at
    // while nothing is known: what the other end sent, not a stranger.
    bool FromPeer(const Address& source) const;

  private:
    static std::uint64_t Pack(const Address& address, bool known);

    const Address m_configured;
    // Bits 0-15 port, 16-47 address, bit 48 known. Written by the injector's thread only.
    std::atomic<std::uint64_t> m_current;
};
