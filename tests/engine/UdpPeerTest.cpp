// The sealed UDP end's side of the other end: where it sends after what authenticated, what a
// stranger's datagrams leave alone, and the keep-alive after an idle spell. One end is a
// CUdpPeer on a loopback socket, the other a bare channel whose datagrams the test hands over
// with a source port of its choice; the time is a clock moved by hand.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "engine/UdpPeer.h"
#include "tests/seal/SealTestSupport.h"
#include "tests/support/SocketAddress.h"

namespace {

using sealtest::kSecond;
using Channel = seal::CSealedChannel;

struct Socket {  // a loopback datagram socket on a port of its own
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    int port = 0;
    Socket() {
        sockaddr_in a = testsupport::Loopback(0);
        socklen_t n = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
        port = ntohs(a.sin_port);
    }
    ~Socket() { ::close(fd); }
    int Receive(std::uint8_t* m, int capacity) const {  // -1 after 200 ms without one
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 200) == 1 ? static_cast<int>(::recv(fd, m, capacity, 0)) : -1;
    }
};

class UdpPeer : public ::testing::Test {
  protected:
    sealtest::CFakeClock clock;
    seal::CTunnelKey key = sealtest::KeyFilledWith(7);
    Channel here{key, Channel::Mode::kDatagram, clock}, there{key, Channel::Mode::kDatagram, clock};
    Socket far, moved, stranger;
    CTunnelSocket socket{0};
    std::unique_ptr<CUdpPeer> peer;
    std::uint8_t buffer[2048] = {};

    void Make(std::uint32_t address) {
        peer = std::make_unique<CUdpPeer>(address, far.port, socket, &here, clock, 25 * kSecond);
        socket.Bind();
    }
    int Deliver(const Socket& from, std::uint8_t* m, int n) {  // as the injector would
        return peer->Open(testsupport::Loopback(from.port), m, n);
    }
    int Port() const {
        CPeerEndpoint::Address a;
        return peer->Endpoint().Current(a) ? a.port : -1;
    }
    // The far end initiates from `from`; the peer answers there; the far end confirms.
    void Handshake(const Socket& from) {
        int n = there.Initiate(buffer, sizeof buffer);
        EXPECT_EQ(Deliver(from, buffer, n), -1);
        n = from.Receive(buffer, sizeof buffer);
        ASSERT_EQ(n, seal::kResponseSize) << "no response where the initiation came from";
        std::uint8_t out[Channel::kHandshakeRoom];
        Channel::Received r = there.Receive(buffer, n, out, sizeof out);
        EXPECT_EQ(Deliver(from, out, r.length), -1) << "the confirmation carries nothing";
    }
};

TEST_F(UdpPeer, AnEndThatLearnsAnswersTheFirstHandshakeAndFollowsOnlyWhatAuthenticates) {
    Make(0);  // 0.0.0.0: learn
    clock.Advance(30 * kSecond);
    peer->Tick();
    EXPECT_EQ(far.Receive(buffer, sizeof buffer), -1) << "sent before it knew where";
    Handshake(far);
    EXPECT_EQ(Port(), far.port);
    // Data from another port (a NAT's new mapping) moves it; a replay of it from a stranger's,
    // a flipped bit and a forged handshake do not.
    std::uint8_t packet[40] = {0x80, 1, 2, 3}, copy[2048];
    Channel::Sealed s = there.Seal(packet, sizeof packet, buffer, sizeof buffer);
    std::memcpy(copy, buffer, s.length);
    EXPECT_EQ(Deliver(moved, buffer, s.length), int{sizeof packet});
    EXPECT_EQ(Port(), moved.port);
    EXPECT_EQ(Deliver(stranger, copy, s.length), -1);
    copy[20] ^= 1;
    EXPECT_EQ(Deliver(stranger, copy, s.length), -1);
    std::uint8_t forged[seal::kInitiationSize] = {seal::kTypeInitiation};
    EXPECT_EQ(Deliver(stranger, forged, sizeof forged), -1);
    EXPECT_EQ(Port(), moved.port) << "moved by a datagram that did not authenticate";
}

TEST_F(UdpPeer, AKeepAliveGoesAfterTwentyFiveSecondsWithoutSendingAndNotBefore) {
    Make(0x7F000001);
    Handshake(far);
    peer->NoteSent();
    clock.Advance(24 * kSecond);
    peer->Tick();
    EXPECT_EQ(far.Receive(buffer, sizeof buffer), -1) << "a keep-alive before 25 s";
    clock.Advance(1 * kSecond);
    peer->Tick();
    const int n = far.Receive(buffer, sizeof buffer);
    ASSERT_EQ(n, 32) << "no keep-alive after 25 s idle";
    std::uint8_t out[64];
    Channel::Received r = there.Receive(buffer, n, out, sizeof out);
    EXPECT_EQ(r.kind, Channel::Received::Kind::kData);
    EXPECT_EQ(r.length, 0);
    peer->Tick();
    EXPECT_EQ(far.Receive(buffer, sizeof buffer), -1) << "the keep-alive restarts the wait";
}

}  // namespace
