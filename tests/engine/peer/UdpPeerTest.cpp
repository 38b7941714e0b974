// The sealed UDP end's keep-alive after an idle spell, on the clock the channel reads, moved by
// hand: one end is a CUdpPeer on a loopback socket, the other a bare channel whose datagrams the
// test hands over. (Roaming, learning and strangers: tests/service/nat_test.sh.)
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "engine/peer/UdpPeer.h"
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
    Socket far;
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
