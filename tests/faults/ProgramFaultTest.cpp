// The tunnel keeps working when something goes wrong: a program killed and started again, a WAN
// outage, a peer that accepts and never reads, a signal from the system. Real programs, real
// kernels, in namespaces the tests make.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/faults/TwoLanPrograms.h"
#include "tests/support/SocketAddress.h"

namespace {

using testsupport::CNetNamespace;
using testsupport::CTwoLanPrograms;
using testsupport::TunnelMode;
using Clock = std::chrono::steady_clock;
constexpr auto kA = CTwoLanPrograms::kA;
constexpr auto kB = CTwoLanPrograms::kB;
constexpr const char* kHostA = CTwoLanPrograms::kHostA;
constexpr const char* kHostB = CTwoLanPrograms::kHostB;

// Recovery times are printed so the README's troubleshooting table can quote what was measured.
void Report(const char* what, double seconds) {
    std::printf("[ recovery ] %s: %.2f s\n", what, seconds);
}

class ProgramFault : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_NETWORK_PRIVILEGES();
        m_lans = std::make_unique<CTwoLanPrograms>();
        ASSERT_TRUE(m_lans->Ok());
    }

    // Both ends configured and running, traffic crossing.
    void StartBoth(TunnelMode mode) {
        m_lans->Configure('A', mode);
        m_lans->Configure('B', mode);
        ASSERT_GT(m_lans->Start('A'), 0);
        ASSERT_GT(m_lans->Start('B'), 0);
        ASSERT_GE(m_lans->SecondsUntilPing(20), 0) << "the tunnel never came up";
    }

    // Kills `end` with SIGKILL, starts it again at once, and returns the seconds from the
    // restart to the first answered ping.
    double KillAndRestart(char end) {
        int status = m_lans->Signal(end, SIGKILL);
        EXPECT_TRUE(WIFSIGNALED(status));
        m_lans->Start(end);
        return m_lans->SecondsUntilPing(30);
    }

    std::unique_ptr<CTwoLanPrograms> m_lans;
};

// The demo's path: two real programs with Auto Start carry pings both ways, in each mode.
TEST_F(ProgramFault, TwoProgramsWithAutoStartCarryPingsBothWaysInEachMode) {
    for (TunnelMode mode : {TunnelMode::kUdp, TunnelMode::kTcp}) {
        SCOPED_TRACE(mode == TunnelMode::kUdp ? "UDP" : "TCP");
        StartBoth(mode);
        EXPECT_EQ(m_lans->Host(kA).Run(std::string("ping -c 3 -i 0.2 -W 1 ") + kHostB), 0);
        EXPECT_EQ(m_lans->Host(kB).Run(std::string("ping -c 3 -i 0.2 -W 1 ") + kHostA), 0);
        EXPECT_TRUE(WIFEXITED(m_lans->Signal('A', SIGTERM)));
        EXPECT_TRUE(WIFEXITED(m_lans->Signal('B', SIGTERM)));
    }
}

TEST_F(ProgramFault, TcpListenerKilledAndRestartedCarriesTrafficWithinFiveSeconds) {
    StartBoth(TunnelMode::kTcp);
    double seconds = KillAndRestart('A');
    Report("TCP listener killed and restarted", seconds);
    EXPECT_GE(seconds, 0);
    EXPECT_LE(seconds, 5.0);
}

TEST_F(ProgramFault, TcpInitiatorKilledAndRestartedCarriesTrafficWithinFiveSeconds) {
    StartBoth(TunnelMode::kTcp);
    double seconds = KillAndRestart('B');
    Report("TCP initiator killed and restarted", seconds);
    EXPECT_GE(seconds, 0);
    EXPECT_LE(seconds, 5.0);
}

TEST_F(ProgramFault, UdpEndKilledAndRestartedCarriesTrafficAtOnce) {
    StartBoth(TunnelMode::kUdp);
    double a = KillAndRestart('A');
    double b = KillAndRestart('B');
    Report("UDP end A killed and restarted", a);
    Report("UDP end B killed and restarted", b);
    EXPECT_GE(a, 0);
    EXPECT_GE(b, 0);
    // Nothing to re-establish: only the program's own start-up and one ARP exchange.
    EXPECT_LE(a, 3.0);
    EXPECT_LE(b, 3.0);
}

TEST_F(ProgramFault, WanOutageOfSeventySecondsHealsWithoutTheOperator) {
    StartBoth(TunnelMode::kTcp);
    ASSERT_EQ(m_lans->Router(kA).Run("ip link set wan0 down"), 0);
    // Traffic keeps trying to cross during the outage, as on a real network.
    auto outageStart = Clock::now();
    while (Clock::now() - outageStart < std::chrono::seconds(70)) {
        m_lans->Host(kA).Run(std::string("ping -c 1 -W 1 ") + kHostB, 5);
        std::this_thread::sleep_for(std::chrono::seconds(4));
    }
    ASSERT_EQ(m_lans->Router(kA).Run("ip link set wan0 up"), 0);
    // The link's own bound: the rest of a one-minute retry wait plus one attempt (up to
    // 10 s), with slack for the ping's own one-second granularity.
    double seconds = m_lans->SecondsUntilPing(75);
    Report("TCP after a 70 s WAN outage (from link up)", seconds);
    ASSERT_GE(seconds, 0);
    EXPECT_LE(seconds, 72.0);
    // A 5 MB transfer afterwards arrives intact.
    std::string file = "/tmp/vt-fault-5m." + std::to_string(getpid());
    ASSERT_EQ(m_lans->Host(kA).Run("head -c 5000000 /dev/urandom > " + file), 0);
    std::string sent = m_lans->Host(kA).Output("sha256sum < " + file + " | cut -c1-64");
    std::string received;
    int status = -1;
    std::thread listener([&] {
        received = m_lans->Host(kB).Output("timeout 40 nc -l -p 5002 | sha256sum | cut -c1-64",
                                           &status, 45);
    });
    for (int i = 0; i < 50 && m_lans->Host(kB).Run("ss -ltn | grep -q ':5002 '") != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    m_lans->Host(kA).Run(std::string("timeout 40 nc -N ") + kHostB + " 5002 < " + file, 45);
    listener.join();
    std::remove(file.c_str());
    EXPECT_EQ(status, 0);
    EXPECT_EQ(sent.size(), 65u);  // 64 hex digits and a line end: the hash was really taken
    EXPECT_EQ(received, sent);
}

TEST_F(ProgramFault, InitiatorStartedDuringAWanOutageConnectsAfterItsRetryWait) {
    // A live connection rides out an outage by itself (above). Here the initiator starts while
    // the WAN is down, so its attempts fail at once, it runs into the one-minute retry wait, and
    // it must come back without any action once the WAN returns.
    m_lans->Configure('A', TunnelMode::kTcp);
    m_lans->Configure('B', TunnelMode::kTcp);
    ASSERT_EQ(m_lans->Router(kA).Run("ip link set wan0 down"), 0);
    ASSERT_EQ(m_lans->Router(kB).Run("ip link set wan0 down"), 0);
    ASSERT_GT(m_lans->Start('A'), 0);
    ASSERT_GT(m_lans->Start('B'), 0);
    std::this_thread::sleep_for(std::chrono::seconds(70));
    ASSERT_EQ(m_lans->Router(kA).Run("ip link set wan0 up"), 0);
    ASSERT_EQ(m_lans->Router(kB).Run("ip link set wan0 up"), 0);
    // Five failed attempts (2.5 s), a 60-pass wait, five more, and a second wait that began
    // about 65 s in: at 70 s its rest is about 55 s, then one attempt.
    double seconds = m_lans->SecondsUntilPing(75);
    Report("TCP initiator started during a 70 s WAN outage (from link up)", seconds);
    ASSERT_GE(seconds, 0);
    EXPECT_LE(seconds, 62.0);
}

TEST_F(ProgramFault, SigtermWhileThePeerNeverReadsEndsWithinAboutASecond) {
    // End A connects to a "peer" on routerB that accepts the connection and never reads, while
    // hostA floods the tunnel: the forwarder's sends soon stall on a full connection.
    m_lans->Configure('A', TunnelMode::kTcp, /*initiate=*/true);
    std::atomic<bool> accepted{false};
    std::atomic<bool> release{false};
    std::thread peer([&] {
        CNetNamespace::Enter inside(m_lans->Router(kB));
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1, small = 4096;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address = testsupport::SocketAddress("0.0.0.0", CTwoLanPrograms::kPort);
        timeval wait{20, 0};
        setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        int connection = -1;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            listen(listener, 1) == 0) {
            connection = accept(listener, nullptr, nullptr);
        }
        accepted = connection >= 0;
        for (int i = 0; i < 600 && !release; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (connection >= 0) close(connection);
        close(listener);
    });
    ASSERT_GT(m_lans->Start('A'), 0);
    for (int i = 0; i < 100 && !accepted; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(accepted.load()) << "the program never connected";
    // Three seconds of UDP at full speed towards hostB: far more than the connection buffers.
    m_lans->Host(kA).Run(std::string("timeout 3 nc -u ") + kHostB + " 9 < /dev/zero; true", 10);
    auto start = Clock::now();
    int status = m_lans->Signal('A', SIGTERM, true, 10);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    release = true;
    peer.join();
    Report("SIGTERM with a peer that never reads (to process exit)", seconds);
    ASSERT_TRUE(WIFEXITED(status)) << "the program did not end by itself";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // Each worker sees its stop within its bounded wait; the link's pass pause is the longest.
    EXPECT_LE(seconds, 2.5);
}

TEST_F(ProgramFault, SignalsCloseLikeTheCloseBoxAndWriteNothing) {
    StartBoth(TunnelMode::kUdp);
    // Let the programs finish their start-up writes, then take the files as they stand.
    std::string a = m_lans->SettingsText('A');
    std::string b = m_lans->SettingsText('B');
    int first = m_lans->Signal('A', SIGINT);
    ASSERT_TRUE(WIFEXITED(first));
    EXPECT_EQ(WEXITSTATUS(first), 0);
    // A second signal while closing ends the program at once, by whichever of the two its
    // threads took last (unless the close had already finished); nothing is written either way.
    m_lans->Signal('B', SIGHUP, false);
    int second = m_lans->Signal('B', SIGTERM, true, 10);
    ASSERT_NE(second, -1) << "the program did not end";
    EXPECT_TRUE(
        (WIFSIGNALED(second) && (WTERMSIG(second) == SIGTERM || WTERMSIG(second) == SIGHUP)) ||
        (WIFEXITED(second) && WEXITSTATUS(second) == 0))
        << "status " << second;
    EXPECT_EQ(m_lans->SettingsText('A'), a);
    EXPECT_EQ(m_lans->SettingsText('B'), b);
}

}  // namespace
