#include "engine/peer/UdpPeer.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdio>

#include "platform/Trace.h"
#include "seal/SealFormat.h"

namespace {

CPeerEndpoint::Address FromSocketAddress(const sockaddr_in& address) {
    return {ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

sockaddr_in ToSocketAddress(const CPeerEndpoint::Address& address) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address.ip);
    to.sin_port = htons(address.port);
    return to;
}

}  // namespace

CUdpPeer::CUdpPeer(std::uint32_t address, int port, CTunnelSocket& socket,
                   seal::CSealedChannel* channel, const seal::CSealClock& clock,
                   std::uint64_t keepAliveAfterNs)
    : m_endpoint(address, port, channel != nullptr && address == 0),
      m_socket(socket),
      m_channel(channel),
      m_clock(clock),
      m_keepAliveAfterNs(keepAliveAfterNs),
      m_lastSentNs(clock.MonotonicNs()),
      m_reply{} {}

std::string CUdpPeer::Text(const CPeerEndpoint::Address& address) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", address.ip >> 24, (address.ip >> 16) & 255,
                  (address.ip >> 8) & 255, address.ip & 255, address.port);
    return text;
}

bool CUdpPeer::Destination(sockaddr_in& to) const {
    CPeerEndpoint::Address address;
    if (!m_endpoint.Current(address)) return false;
    to = ToSocketAddress(address);
    return true;
}

void CUdpPeer::NoteSent() {
    m_lastSentNs.store(m_clock.MonotonicNs(), std::memory_order_relaxed);
}

void CUdpPeer::SendTo(const std::uint8_t* message, int length, const sockaddr_in& to) {
    // A lost message is retried by the channel's own timers.
    const SOCKET s = m_socket.Handle();
    if (s == INVALID_SOCKET) return;
    ::sendto(s, message, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT,
             reinterpret_cast<const sockaddr*>(&to), sizeof to);
    NoteSent();
}

int CUdpPeer::Open(const sockaddr_in& source, std::uint8_t* datagram, int length) {
    using Kind = seal::CSealedChannel::Received::Kind;
    using Drop = seal::CSealedChannel::Drop;
    // A data message opens in place (the next datagram of a run lies right behind it); a
    // handshake's reply goes to a buffer of its own, being longer than what it answers.
    const std::uint8_t type = datagram[0];
    const bool data = type == seal::kTypeData;
    std::uint8_t* out = data ? datagram + seal::kDataHeaderSize : m_reply;
    const int capacity = data ? length - seal::kDataHeaderSize : int{sizeof m_reply};
    const CPeerEndpoint::Address from = FromSocketAddress(source);
    CPeerEndpoint::Address now;
    const bool elsewhere = m_endpoint.Current(now) && !(now == from);
    const seal::CSealedChannel::Received received =
        m_channel->Receive(datagram, length, out, capacity, elsewhere);
    if (received.kind == Kind::kDropped) {
        // Only what comes from the other end's address is evidence of its key (or lack of one).
        if (m_endpoint.FromPeer(from)) {
            if (received.drop == Drop::kNotSealed) {
                m_peerUnsealed.fetch_add(1, std::memory_order_relaxed);
            } else if (received.drop == Drop::kAuthFailed && !data) {
                m_peerHandshakeFailures.fetch_add(1, std::memory_order_relaxed);
            }
        }
        return -1;
    }
    const CPeerEndpoint::Evidence evidence =
        data ? CPeerEndpoint::Evidence::kData
             : (type == seal::kTypeResponse ? CPeerEndpoint::Evidence::kResponse
                                            : CPeerEndpoint::Evidence::kInitiation);
    const bool learnt = m_endpoint.Learning();
    if (m_endpoint.OnAuthenticated(from, evidence)) {
        const std::string where = Text(from);
        std::fprintf(stderr, "Vantrell: the other end %s %s: the tunnel's datagrams go there.\n",
                     learnt ? "made contact from" : "now sends from", where.c_str());
        Trace("Other end %s %s\n", learnt ? "learnt at" : "moved to", where.c_str());
    }
    if (received.kind == Kind::kReply) {
        // Back where it came from: the other end's NAT holds that mapping open.
        SendTo(out, received.length, source);
        return -1;
    }
    return received.length > 0 ? received.length : -1;
}

void CUdpPeer::Tick() {
    sockaddr_in to;
    if (!Destination(to)) return;  // an end that learns waits; it starts no handshake either
    std::uint8_t message[seal::CSealedChannel::kHandshakeRoom];
    const seal::CSealedChannel::TickResult tick = m_channel->Tick(message, sizeof message);
    if (tick.length > 0) {
        SendTo(message, tick.length, to);
        return;
    }
    const std::uint64_t now = m_clock.MonotonicNs();
    if (now - m_lastSentNs.load(std::memory_order_relaxed) < m_keepAliveAfterNs) return;
    const seal::CSealedChannel::Sealed sealed =
        m_channel->Seal(nullptr, 0, message, sizeof message);
    if (sealed.length <= 0) return;  // no session: the handshake above keeps trying
    SendTo(message, sealed.length, to);
    m_keepAlives.fetch_add(1, std::memory_order_relaxed);
}
