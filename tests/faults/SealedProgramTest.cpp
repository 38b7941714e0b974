// The sealed tunnel between two real programs, each with [Tunnel] "Key" in its settings file: it
// carries traffic in both modes while the WAN shows none of it; it carries nothing, and says so,
// when the keys differ or only one end has one; and a stranger on the WAN can neither replay,
// alter, nor hold the TCP listener. Real programs, real kernels, in namespaces the tests make.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "tests/faults/TwoLanPrograms.h"
#include "tests/support/PacketCapture.h"
#include "tests/support/SocketAddress.h"

namespace {

using testsupport::CNetNamespace;
using testsupport::CPacketCapture;
using testsupport::CTwoLanPrograms;
using testsupport::TunnelMode;
using Clock = std::chrono::steady_clock;
constexpr auto kA = CTwoLanPrograms::kA;
constexpr auto kB = CTwoLanPrograms::kB;
constexpr const char* kHostA = CTwoLanPrograms::kHostA;
constexpr const char* kHostB = CTwoLanPrograms::kHostB;

// Two keys, one in each of the forms the setting takes.
const std::string kKey = "2b7e151628aed2a6abf7158809cf4f3c762e7160f38b4da56a784d9045190cfe";
const std::string kOtherKey = "q83vEjRWeJCrze8SNFZ4kKvN7xI0VniQq83vEjRWeJA=";
// What the pings carry (ping -p repeats it through the payload) and what must never be seen on
// the WAN.
const std::string kPatternHex = "5a17c0de9b3e71a4";
const std::string kPattern = "\x5a\x17\xc0\xde\x9b\x3e\x71\xa4";
constexpr int kPort = CTwoLanPrograms::kPort;

int Count(const std::string& text, const std::string& what) {
    int count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

bool AnyFrameHolds(const std::vector<std::string>& frames, const std::string& what) {
    for (const std::string& frame : frames) {
        if (frame.find(what) != std::string::npos) return true;
    }
    return false;
}

std::string Ping(const char* to, int count) {
    return "ping -c " + std::to_string(count) + " -i 0.2 -W 1 -p " + kPatternHex + " " + to;
}

class SealedPrograms : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_NETWORK_PRIVILEGES();
        m_lans = std::make_unique<CTwoLanPrograms>();
        ASSERT_TRUE(m_lans->Ok());
    }

    void StartBoth(TunnelMode mode, const std::string& keyA, const std::string& keyB) {
        m_lans->SetKey('A', keyA);
        m_lans->SetKey('B', keyB);
        m_lans->Configure('A', mode);
        m_lans->Configure('B', mode);
        ASSERT_GT(m_lans->Start('A'), 0);
        ASSERT_GT(m_lans->Start('B'), 0);
    }

    void StopBoth() {
        EXPECT_TRUE(WIFEXITED(m_lans->Signal('A', SIGTERM)));
        EXPECT_TRUE(WIFEXITED(m_lans->Signal('B', SIGTERM)));
    }

    // Sends `datagram` to end B's listen port from inside routerA (as a stranger on the WAN
    // could, from anywhere).
    void SendToB(const std::string& datagram) {
        CNetNamespace::Enter inside(m_lans->Router(kA));
        ASSERT_TRUE(inside.Ok());
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(s, 0);
        sockaddr_in to = testsupport::SocketAddress(CTwoLanPrograms::kWanB, kPort);
        EXPECT_EQ(sendto(s, datagram.data(), datagram.size(), 0,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  static_cast<long>(datagram.size()));
        close(s);
    }

    // True once the end's standard error holds `what`, polled for at most `seconds`.
    bool SaysWithin(char end, const char* what, double seconds) {
        const auto start = Clock::now();
        while (std::chrono::duration<double>(Clock::now() - start).count() < seconds) {
            if (m_lans->ErrorText(end).find(what) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return false;
    }

    std::unique_ptr<CTwoLanPrograms> m_lans;
};

// Pings both ways and 20 MB each way (SHA-256 checked) in each mode, while a capture on the WAN
// never holds the pings' payload (a capture on the LAN, as a control, does), and every UDP
// datagram on the WAN is a sealed message that a 1500-byte path carries whole.
TEST_F(SealedPrograms, BothModesCarryTrafficThatTheWanNeverShows) {
    for (TunnelMode mode : {TunnelMode::kUdp, TunnelMode::kTcp}) {
        const bool udp = mode == TunnelMode::kUdp;
        SCOPED_TRACE(udp ? "UDP" : "TCP");
        StartBoth(mode, kKey, kKey);
        ASSERT_GE(m_lans->SecondsUntilPing(20), 0) << "the sealed tunnel never came up";
        CPacketCapture wan, lan;
        ASSERT_TRUE(wan.Start(m_lans->Router(kA), "wan0", "port " + std::to_string(kPort)));
        ASSERT_TRUE(lan.Start(m_lans->Router(kA), "lan0", "icmp"));
        EXPECT_EQ(m_lans->Host(kA).Run(Ping(kHostB, 3)), 0);
        EXPECT_EQ(m_lans->Host(kB).Run(Ping(kHostA, 3)), 0);
        double seconds = 0;
        std::vector<std::string> sums = m_lans->TransferBothWays(20, 40, &seconds);
        ASSERT_EQ(sums.size(), 4u);
        EXPECT_EQ(sums[0], sums[1]) << "A to B";
        EXPECT_EQ(sums[2], sums[3]) << "B to A";
        std::printf("[ sealed ] %s: 2 x 20 MB in %.2f s\n", udp ? "UDP" : "TCP", seconds);
        wan.Stop();
        lan.Stop();

        const std::vector<std::string> frames = wan.Frames();
        std::size_t carried = 0;
        for (const std::string& frame : frames) {
            const std::string payload = CPacketCapture::TransportPayload(frame);
            carried += payload.size();
            if (udp && CPacketCapture::IsUdp(frame)) {
                ASSERT_LE(payload.size(), 1472u);
                ASSERT_GE(payload.size(), 32u);
                ASSERT_TRUE(payload[0] >= 1 && payload[0] <= 3) << "an unsealed datagram";
            }
        }
        // tcpdump drops frames on a busy machine: it need only have seen a good part of the
        // 2 x 20 MB (the pings, sent before, are seen whole).
        EXPECT_GT(carried, 4'000'000u) << "the capture missed the transfer";
        EXPECT_FALSE(AnyFrameHolds(frames, kPattern)) << "the payload crossed the WAN readable";
        EXPECT_TRUE(AnyFrameHolds(lan.Frames(), kPattern)) << "the control capture saw no ping";
        // The test's settings file is world-readable: the program warns about the key in it.
        EXPECT_NE(m_lans->ErrorText('A').find("others may read it"), std::string::npos);
        EXPECT_EQ(m_lans->ErrorText('A').find(kKey), std::string::npos);
        StopBoth();
    }
}

// Different keys, or a key on one end only: no ping crosses, and the end with a key says why on
// standard error, once.
TEST_F(SealedPrograms, MismatchedKeysCarryNothingAndSaySoOnce) {
    struct Case {
        const char* name;
        TunnelMode mode;
        std::string keyA, keyB;
        const char* sayA;  // what A's standard error says
        const char* sayB;  // what B's says (nullptr: nothing expected)
    };
    const Case cases[] = {
        {"UDP, different keys", TunnelMode::kUdp, kKey, kOtherKey, "key is different",
         "key is different"},
        {"UDP, only A has a key", TunnelMode::kUdp, kKey, "", "sends without a key", nullptr},
        {"TCP, only the listener has a key", TunnelMode::kTcp, kKey, "", "sends without a key",
         nullptr},
        {"TCP, different keys", TunnelMode::kTcp, kKey, kOtherKey, "key is different",
         "no handshake"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartBoth(c.mode, c.keyA, c.keyB);
        // B's host sends, so an end without a key puts unsealed traffic on the WAN.
        EXPECT_NE(m_lans->Host(kB).Run(Ping(kHostA, 12)), 0) << "a ping crossed";
        EXPECT_NE(m_lans->Host(kA).Run(Ping(kHostB, 3)), 0) << "a ping crossed";
        // A lost first handshake is retried after 5 s: the message may take that long.
        EXPECT_TRUE(SaysWithin('A', c.sayA, 12)) << m_lans->ErrorText('A');
        if (c.sayB != nullptr) {
            EXPECT_TRUE(SaysWithin('B', c.sayB, 12)) << m_lans->ErrorText('B');
        }
        // Said once, not per packet, though the other end kept trying meanwhile.
        EXPECT_EQ(m_lans->Host(kB).Run(Ping(kHostA, 3)), 1);
        // One diagnostic line; the status log adds one line of its own when the sentence shows.
        const std::string said = m_lans->ErrorText('A');
        EXPECT_EQ(Count(said, std::string("Vantrell: Sealed: ")), 1) << said;
        EXPECT_LE(Count(said, c.sayA), 2) << said;
        StopBoth();
    }
}

// A sealed datagram captured on the WAN and sent again is not injected a second time; one with
// a flipped bit is not injected at all; and the tunnel carries on.
TEST_F(SealedPrograms, ReplayedAndAlteredDatagramsAreNeverInjected) {
    StartBoth(TunnelMode::kUdp, kKey, kKey);
    ASSERT_GE(m_lans->SecondsUntilPing(20), 0);
    CPacketCapture wan, atHostB;
    // To B only: both ends use one port number, and B's own datagrams would replay nothing.
    ASSERT_TRUE(wan.Start(m_lans->Router(kB), "wan0",
                          std::string("udp and dst host ") + CTwoLanPrograms::kWanB));
    ASSERT_TRUE(atHostB.Start(m_lans->Host(kB), "eth0", "icmp[icmptype] == icmp-echo"));
    ASSERT_EQ(m_lans->Host(kA).Run(Ping(kHostB, 1)), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    wan.Stop();
    atHostB.Stop();
    ASSERT_EQ(atHostB.Frames().size(), 1u)
        << "the control: one echo request injected; WAN frames " << wan.Frames().size();

    // The echo request's datagram: a data message carrying one whole 84-byte packet.
    std::string sealed;
    for (const std::string& frame : wan.Frames()) {
        std::string payload = CPacketCapture::TransportPayload(frame);
        if (payload.size() == 32 + 1 + 84 && payload[0] == 3) sealed = payload;
    }
    ASSERT_FALSE(sealed.empty()) << "no sealed echo request on the WAN";

    ASSERT_TRUE(atHostB.Start(m_lans->Host(kB), "eth0", "icmp[icmptype] == icmp-echo"));
    SendToB(sealed);
    SendToB(sealed);
    for (std::size_t bit : {std::size_t{8 * 20}, std::size_t{8 * 5}, 8 * (sealed.size() - 1)}) {
        std::string altered = sealed;  // the ciphertext, the receiver index, the tag
        altered[bit / 8] = static_cast<char>(altered[bit / 8] ^ 0x01);
        SendToB(altered);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    atHostB.Stop();
    EXPECT_TRUE(atHostB.Frames().empty()) << "a replayed or altered datagram was injected";
    EXPECT_EQ(m_lans->Host(kA).Run(Ping(kHostB, 2)), 0) << "the tunnel did not carry on";
    StopBoth();
}

// A stranger who connects to the TCP listener and says nothing is dropped within seconds, one
// who sends bytes at once, and the real peer connects afterwards.
TEST_F(SealedPrograms, StrangerOnTheTcpListenerIsDroppedAndThePeerConnects) {
    m_lans->SetKey('A', kKey);
    m_lans->SetKey('B', kKey);
    m_lans->Configure('A', TunnelMode::kTcp);
    m_lans->Configure('B', TunnelMode::kTcp);
    ASSERT_GT(m_lans->Start('A'), 0);  // A listens

    auto connectAsStranger = [&]() {
        CNetNamespace::Enter inside(m_lans->Router(kB));
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to = testsupport::SocketAddress(CTwoLanPrograms::kWanA, kPort);
        for (int attempt = 0; attempt < 50; ++attempt) {
            if (connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return s;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        close(s);
        return -1;
    };
    // Seconds until the listener ends the stranger's connection, or -1 after `limit`.
    auto secondsUntilClosed = [](int s, double limit) {
        auto start = Clock::now();
        char buffer[256];
        while (std::chrono::duration<double>(Clock::now() - start).count() < limit) {
            pollfd p{s, POLLIN, 0};
            if (poll(&p, 1, 100) > 0 && recv(s, buffer, sizeof buffer, 0) <= 0) {
                return std::chrono::duration<double>(Clock::now() - start).count();
            }
        }
        return -1.0;
    };

    int silent = connectAsStranger();
    ASSERT_GE(silent, 0);
    const double silentFor = secondsUntilClosed(silent, 10);
    close(silent);
    std::printf("[ stranger ] a silent stranger held the listener %.2f s\n", silentFor);
    EXPECT_GE(silentFor, 0) << "a silent stranger holds the listener";
    EXPECT_LE(silentFor, 7);

    int talker = connectAsStranger();
    ASSERT_GE(talker, 0);
    // A frame header and a data message of the right shape, with nothing authentic in it.
    std::string forged(4 + 32 + 84, '\x11');
    forged[0] = 32 + 84;
    forged[1] = forged[2] = 0;
    forged[3] = static_cast<char>(0xA5);
    forged[4] = 3;
    forged[5] = forged[6] = forged[7] = 0;
    ASSERT_EQ(send(talker, forged.data(), forged.size(), MSG_NOSIGNAL),
              static_cast<long>(forged.size()));
    const double talkerFor = secondsUntilClosed(talker, 10);
    close(talker);
    EXPECT_GE(talkerFor, 0);
    EXPECT_LE(talkerFor, 2) << "a forged frame did not end the stranger's connection at once";

    // Now one that holds the listener while the real peer starts: the peer gets in afterwards.
    int holder = connectAsStranger();
    ASSERT_GE(holder, 0);
    ASSERT_GT(m_lans->Start('B'), 0);
    const double seconds = m_lans->SecondsUntilPing(25);
    close(holder);
    std::printf("[ stranger ] the real peer carried traffic after %.2f s\n", seconds);
    EXPECT_GE(seconds, 0) << "the real peer never got in";
    StopBoth();
}

// Each end killed and started again, one after the other: traffic flows again within seconds,
// every restart brings fresh sessions, and no data message on the WAN ever reuses a session's
// counter (a nonce) for other bytes.
TEST_F(SealedPrograms, RestartedEndsRecoverAndNeverRepeatANonce) {
    for (TunnelMode mode : {TunnelMode::kUdp, TunnelMode::kTcp}) {
        const bool udp = mode == TunnelMode::kUdp;
        SCOPED_TRACE(udp ? "UDP" : "TCP");
        StartBoth(mode, kKey, kKey);
        ASSERT_GE(m_lans->SecondsUntilPing(20), 0);
        CPacketCapture wan;
        ASSERT_TRUE(wan.Start(m_lans->Router(kA), "wan0", "port " + std::to_string(kPort)));
        EXPECT_EQ(m_lans->Host(kA).Run(Ping(kHostB, 3)), 0);
        for (char end : {'A', 'B'}) {
            EXPECT_TRUE(WIFSIGNALED(m_lans->Signal(end, SIGKILL)));
            m_lans->Start(end);
            const double seconds = m_lans->SecondsUntilPing(15);
            std::printf("[ recovery ] sealed %s, %c killed and restarted: %.2f s\n",
                        udp ? "UDP" : "TCP", end, seconds);
            EXPECT_GE(seconds, 0);
            EXPECT_LE(seconds, 10);
            EXPECT_EQ(m_lans->Host(kA).Run(Ping(kHostB, 3)), 0);
        }
        wan.Stop();

        // UDP: every datagram is one message. TCP: messages are found by their frame header
        // at the start of a segment (most are), enough to see the sessions and counters.
        std::map<std::string, std::string> byNonce;  // direction, index, counter -> bytes
        std::set<std::string> indices;
        int messages = 0;
        for (const std::string& frame : wan.Frames()) {
            std::string payload = CPacketCapture::TransportPayload(frame);
            if (!udp) {
                if (payload.size() < 4 || static_cast<unsigned char>(payload[3]) != 0xA5) continue;
                payload = payload.substr(4);
            }
            if (payload.size() < 32 || payload[0] != 3) continue;
            // The sender (the frame's IPv4 source), the receiver index and the counter.
            const std::string key = frame.substr(26, 4) + payload.substr(4, 12);
            auto [it, fresh] = byNonce.emplace(key, payload);
            // A TCP segment may end inside a message, or hold more after it: its first bytes
            // are compared.
            const std::size_t common = std::min(it->second.size(), payload.size());
            if (!fresh) {
                EXPECT_EQ(it->second.substr(0, common), payload.substr(0, common))
                    << "a nonce was used for other bytes";
            }
            indices.insert(frame.substr(26, 4) + payload.substr(4, 4));
            ++messages;
        }
        EXPECT_GT(messages, 20);
        // Each direction's first session, and at least one new one per restart.
        EXPECT_GE(indices.size(), 4u) << "a restart did not bring fresh sessions";
        StopBoth();
    }
}

}  // namespace
