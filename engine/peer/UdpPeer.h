// The other end as UDP mode sees it: where datagrams go (CPeerEndpoint) and, sealed, the
// datagram side of the channel that the injector hands every received datagram to: it opens
// it, answers handshakes where they came from, moves the endpoint when an authenticated datagram
// comes from elsewhere (said once per move on standard error and to the trace hook), starts due
// handshakes and, after `keepAliveAfter` without sending anything, sends a keep-alive (an empty
// data message) so that a NAT keeps its mapping through an idle spell. An end that learns the
// other's address sends nothing until it has. It also counts what the other end (its address)
// sent that was unsealed or a handshake that failed authentication: the evidence the owner's
// monitor needs, which a stranger's datagrams do not make.
// Owned by CTunnelEngine from Start until both workers have been joined. Threads: the forwarder
// calls Destination and NoteSent; the injector Open and Tick; the owner the read-outs. The
// endpoint and counters are atomics; the reply buffer is the injector's alone.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "engine/peer/PeerEndpoint.h"
#include "engine/peer/TunnelSocket.h"
#include "seal/SealClock.h"
#include "seal/SealedChannel.h"

class CUdpPeer {
  public:
    // `address` in host order; `channel` null when unsealed (the endpoint never moves then);
    // both not owned and outliving this object.
    CUdpPeer(std::uint32_t address, int port, CTunnelSocket& socket, seal::CSealedChannel* channel,
             const seal::CSealClock& clock, std::uint64_t keepAliveAfterNs);

    // Where the next datagram goes; false while an end that learns knows nowhere yet.
    bool Destination(sockaddr_in& to) const;
    // After a send to the other end (any thread): restarts the keep-alive's wait.
    void NoteSent();

    // Injector, sealed: one received datagram of `length` bytes from `source`, opened in place.
    // Returns the plaintext's length at datagram + 16, or -1 when there is nothing for the
    // reassembler (dropped, a keep-alive, or a handshake message answered).
    int Open(const sockaddr_in& source, std::uint8_t* datagram, int length);
    // Injector, sealed, about twice a second: a due handshake, or a keep-alive that is due.
    void Tick();

    const CPeerEndpoint& Endpoint() const { return m_endpoint; }
    // From the other end's address: unsealed datagrams, and handshake messages that failed
    // authentication.
    std::uint64_t PeerUnsealed() const { return m_peerUnsealed.load(std::memory_order_relaxed); }
    std::uint64_t PeerHandshakeFailures() const {
        return m_peerHandshakeFailures.load(std::memory_order_relaxed);
    }
    std::uint64_t KeepAlivesSent() const { return m_keepAlives.load(std::memory_order_relaxed); }

    // "a.b.c.d:port" of an address in host order.
    static std::string Text(const CPeerEndpoint::Address& address);

  private:
    void SendTo(const std::uint8_t* message, int length, const sockaddr_in& to);

    CPeerEndpoint m_endpoint;
    CTunnelSocket& m_socket;
    seal::CSealedChannel* const m_channel;  // not owned
    const seal::CSealClock& m_clock;        // not owned
    const std::uint64_t m_keepAliveAfterNs;
    // Monotonic time of the last send: written by both workers, read by the injector (atomic).
    std::atomic<std::uint64_t> m_lastSentNs;
    std::atomic<std::uint64_t> m_peerUnsealed{0};                // injector adds, owner reads
    std::atomic<std::uint64_t> m_peerHandshakeFailures{0};       // injector adds, owner reads
    std::atomic<std::uint64_t> m_keepAlives{0};                  // injector adds, tests read
    std::uint8_t m_reply[seal::CSealedChannel::kHandshakeRoom];  // the injector's thread only
};
