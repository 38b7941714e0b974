// 200 Start/Stop cycles through the dialog's own buttons, with traffic through the tunnel in
// every cycle, and no growth of descriptors, threads or resident memory between cycle 10 and
// cycle 200. The dialog is router A of the two-LAN fixture: the test thread (the UI thread)
// enters routerA before it makes the dialog, so every worker the dialog starts lives there.
//
//   hostA 10.1.0.10 --lan0-- routerA [dialog] ==wan0 10.99.0.1/.2== routerB [U][T] --lan0-- hostB
//     echo client,           virtual 10.1.0.1                       virtual 10.2.0.1   10.2.0.10
//     via 10.1.0.1                                                                     echo server
//
// routerB runs two far ends at once, each started once for the whole test: U in UDP mode and T
// a TCP listener, on the same port number (one UDP, one TCP). The dialog switches its own mode
// between cycles; only the far end of its current mode has a path to it, so nothing is carried
// twice, and the far end never restarts, so the counts below belong to the dialog alone.
// Traffic: hostA sends a small UDP datagram to hostB's echo server every 2 ms and counts the
// echoes. A request crosses the dialog's forwarder, its echo the dialog's injector.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "tests/engine/TwoLans.h"
#include "tests/support/Sanitizer.h"
#include "tests/support/SocketAddress.h"
#include "tests/ui/UiTestSupport.h"

using forwardtest::CTwoLans;
using testsupport::CNetNamespace;
using uitest::Control;

namespace {

constexpr int kCycles = 200;
constexpr int kFirstSample = 10;
constexpr int kEchoPort = 7;
// The echo traffic lasts as long as the cycles do: it ends when the test ends it, and only
// bounds itself (for a test that hangs) at ctest's time-out for this test (tests/ui/CMakeLists).
// A fixed time of its own shorter than the cycles take on a loaded machine under a sanitizer
// (over 280 s) ended the traffic, and with it the test, in the middle of the cycles.
constexpr int kTrafficSeconds = 900;
// Bounds of the waits for traffic in a cycle and for joined threads to leave /proc: the
// states waited for come within milliseconds on an idle machine, much later on a loaded one.
constexpr int kTrafficWaitMs = 10000;
constexpr int kThreadsGoneWaitMs = 10000;

// Growth of VmRSS allowed between cycle 10 and cycle 200. Every cycle allocates and frees a
// forwarder and an injector with their frame buffers (the injector's two 64 kB buffers are
// zero-filled, so resident at once) and maps and unmaps two capture rings. In the release
// build the growth seen is a few kB; 2 MB over 190 cycles still catches anything that keeps
// 11 kB or more per cycle. Smaller losses are the leak checker's part (AddressSanitizer run).
#if defined(VANTRELL_UNDER_ASAN)
// Freed blocks wait in the sanitizer's quarantine (256 MB by default), so resident memory grows
// by design (118 MB here); its leak check at exit looks for what was lost instead.
constexpr bool kCompareResident = false;
constexpr long kRssToleranceKb = 0;
#elif defined(VANTRELL_UNDER_TSAN)
// The sanitizer's shadow and per-thread state for the 600 threads that the cycles start move
// resident memory by a few MB either way (2 to 10 MB seen, the most on a machine busy with a
// build beside the test); a leaked injector per cycle would still add over 24 MB.
constexpr bool kCompareResident = true;
constexpr long kRssToleranceKb = 16384;
#else
constexpr bool kCompareResident = true;
constexpr long kRssToleranceKb = 2048;
#endif

long ResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

struct Sample {
    int descriptors = 0;
    int threads = 0;
    long residentKb = 0;
};

// UDP echo traffic between the hosts, on two threads of this process that live in the hosts'
// namespaces; both end at the stop flag or after `maxSeconds`.
class CEchoTraffic {
  public:
    CEchoTraffic(CTwoLans& lans, int maxSeconds) {
        m_server = std::thread([this, &lans, maxSeconds] {
            CTwoLans::Inside(lans.Host(CTwoLans::kB), [&] { Serve(maxSeconds); });
        });
        m_client = std::thread([this, &lans, maxSeconds] {
            CTwoLans::Inside(lans.Host(CTwoLans::kA), [&] { Ask(maxSeconds); });
        });
    }
    ~CEchoTraffic() {
        m_stop = true;
        m_client.join();
        m_server.join();
    }
    int Echoes() const { return m_echoes.load(); }

  private:
    void Serve(int maxSeconds) {
        const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in self = testsupport::SocketAddress(CTwoLans::kHostB, kEchoPort);
        if (s < 0 || bind(s, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) return;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(maxSeconds);
        char buffer[256];
        while (!m_stop && std::chrono::steady_clock::now() < deadline) {
            pollfd ready{s, POLLIN, 0};
            if (poll(&ready, 1, 50) != 1) continue;
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = recvfrom(s, buffer, sizeof buffer, MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n > 0) {
                sendto(s, buffer, static_cast<std::size_t>(n), MSG_DONTWAIT,
                       reinterpret_cast<const sockaddr*>(&from), fromLength);
            }
        }
        close(s);
    }

    void Ask(int maxSeconds) {
        const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in server = testsupport::SocketAddress(CTwoLans::kHostB, kEchoPort);
        if (s < 0 || connect(s, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(maxSeconds);
        char request[64] = "vantrell cycles echo";
        char reply[256];
        while (!m_stop && std::chrono::steady_clock::now() < deadline) {
            send(s, request, sizeof request, MSG_DONTWAIT);  // refused or unresolved: next one
            pollfd ready{s, POLLIN, 0};
            if (poll(&ready, 1, 2) == 1) {
                while (recv(s, reply, sizeof reply, MSG_DONTWAIT) > 0) ++m_echoes;
            }
        }
        close(s);
    }

    std::atomic<bool> m_stop{false};  // set by the owner, read by both threads
    std::atomic<int> m_echoes{0};     // the client thread adds, the test reads
    std::thread m_server;
    std::thread m_client;
};

std::string DialogSettings() {
    return std::string("[This End]\nIP=") + CTwoLans::kLans[CTwoLans::kA].subnet +
           "\nMask=255.255.255.0\nAdaptor=No Description (lan0)\n[Other End]\nIP=" +
           CTwoLans::kLans[CTwoLans::kB].subnet +
           "\nMask=255.255.255.0\n[Tunnel]\nIP=" + std::string(CTwoLans::kWanB) +
           "\nPort=" + std::to_string(CTwoLans::kPort) +
           "\nTCP=No\nTCP Initiate=Yes\n[Listen]\nPort=" + std::to_string(CTwoLans::kPort) +
           "\n[Virtual]\nIP=" + CTwoLans::kVirtualA + "\nMAC=" + CTwoLans::kMacA +
           "\n[ARP]\nRespond=Yes\n[Start]\nAutostart=No\nHide=No\n";
}

bool IsTcpCycle(int cycle) {
    return cycle % 10 == 5;  // 20 of 200; the samples at 10 and 200 follow UDP cycles
}

TEST(VantrellDlgCycles, TwoHundredStartStopCyclesWithTrafficLeaveNothingBehind) {
    REQUIRE_NETWORK_PRIVILEGES();
    const auto began = std::chrono::steady_clock::now();
    uitest::CTempWorkDir dir;
    CTwoLans lans;
    ASSERT_TRUE(lans.Ok());

    std::unique_ptr<CTunnelEngine> udpEnd = lans.Construct(CTwoLans::kB);
    std::unique_ptr<CTunnelEngine> tcpEnd = lans.Construct(CTwoLans::kB);
    ASSERT_TRUE(udpEnd && tcpEnd);
    udpEnd->SetSettings(lans.Settings(CTwoLans::kB, CTunnelEngine::Mode::kUdp));
    tcpEnd->SetSettings(lans.Settings(CTwoLans::kB, CTunnelEngine::Mode::kTcpListener));
    ASSERT_TRUE(lans.Start(CTwoLans::kB, *udpEnd));
    ASSERT_TRUE(lans.Start(CTwoLans::kB, *tcpEnd));
    CEchoTraffic traffic(lans, kTrafficSeconds);

    uitest::WriteIni(DialogSettings());
    {
        CNetNamespace::Enter inside(lans.Router(CTwoLans::kA));
        ASSERT_TRUE(inside.Ok());
        CVantrellDlg dialog;
        dialog.show();
        ASSERT_FALSE(CVantrellDlgProbe::Running(dialog));
        auto* start = Control<QPushButton>(&dialog, 1007);
        auto* stop = Control<QPushButton>(&dialog, 1008);
        auto* tcp = Control<QCheckBox>(&dialog, 1016);
        auto* incoming = Control<QLabel>(&dialog, 1012);
        auto* outgoing = Control<QLabel>(&dialog, 1011);
        const int stoppedThreads = testsupport::ThreadCount();

        Sample first, last;
        int udpWithTraffic = 0, tcpWithTraffic = 0, idleCycles = 0, echoes = 0;
        double slowestStop = 0, allStops = 0;
        for (int cycle = 1; cycle <= kCycles; ++cycle) {
            // The mode box is a click, as the operator's, so it goes through OnTcp.
            if (tcp->isChecked() != IsTcpCycle(cycle)) tcp->click();
            ASSERT_EQ(tcp->isChecked(), IsTcpCycle(cycle));
            const int echoesBefore = traffic.Echoes();
            start->click();
            ASSERT_TRUE(CVantrellDlgProbe::Running(dialog)) << cycle;
            // Traffic in both directions: an echo came back, and each arrow showed "=>" on some
            // tick of this run (an arrow's text lasts one tick, 100 ms).
            bool sawIncoming = false, sawOutgoing = false;
            const bool flowed = QTest::qWaitFor(
                [&] {
                    sawIncoming = sawIncoming || incoming->text() == "=>";
                    sawOutgoing = sawOutgoing || outgoing->text() == "=>";
                    return sawIncoming && sawOutgoing && traffic.Echoes() > echoesBefore;
                },
                kTrafficWaitMs);
            const int cycleEchoes = traffic.Echoes() - echoesBefore;
            echoes += cycleEchoes;
            if (flowed) ++(IsTcpCycle(cycle) ? tcpWithTraffic : udpWithTraffic);
            // An idle tunnel ends the test at once rather than after 200 fruitless waits.
            idleCycles += flowed ? 0 : 1;
            ASSERT_LE(idleCycles, kCycles / 10)
                << "cycle " << cycle << ": too many cycles without traffic";
            const auto stopBegan = std::chrono::steady_clock::now();
            stop->click();
            const double stopSeconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - stopBegan).count();
            slowestStop = std::max(slowestStop, stopSeconds);
            allStops += stopSeconds;
            ASSERT_FALSE(CVantrellDlgProbe::Running(dialog)) << cycle;
            ASSERT_EQ(CVantrellDlgProbe::Forwarder(dialog), nullptr);
            ASSERT_EQ(CVantrellDlgProbe::Injector(dialog), nullptr);

            if (cycle == kFirstSample || cycle == kCycles) {
                // A joined thread can stay listed for a moment after its join returned.
                EXPECT_TRUE(
                    QTest::qWaitFor([&] { return testsupport::ThreadCount() == stoppedThreads; },
                                    kThreadsGoneWaitMs))
                    << "cycle " << cycle << ": " << testsupport::ThreadCount() << " threads, "
                    << stoppedThreads << " before the first Start";
                // So can a descriptor that another thread is closing (the far end's recovery
                // after a TCP cycle): the last sample waits for the first one's count, which a
                // descriptor lost in any cycle never reaches again.
                if (cycle == kCycles) {
                    (void)QTest::qWaitFor(
                        [&] { return testsupport::OpenDescriptors() == first.descriptors; },
                        kThreadsGoneWaitMs);
                }
                Sample& sample = cycle == kFirstSample ? first : last;
                sample = {testsupport::OpenDescriptors(), testsupport::ThreadCount(), ResidentKb()};
                std::printf("cycle %3d: %d descriptors, %d threads, VmRSS %ld kB\n", cycle,
                            sample.descriptors, sample.threads, sample.residentKb);
            }
        }
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        std::printf(
            "traffic in %d of %d UDP and %d of %d TCP cycles, %d echoes; Stop %.3f s at most, "
            "%.3f s on average; %.1f s in all\n",
            udpWithTraffic, kCycles - kCycles / 10, tcpWithTraffic, kCycles / 10, echoes,
            slowestStop, allStops / kCycles, wall);

        // No descriptor and no thread more, and memory within the allocator's noise.
        EXPECT_EQ(last.descriptors, first.descriptors);
        EXPECT_EQ(last.threads, first.threads);
        if (kCompareResident) {
            EXPECT_LT(last.residentKb - first.residentKb, kRssToleranceKb);
        } else {
            std::printf("resident memory not compared under AddressSanitizer\n");
        }
        // A tunnel that stopped carrying traffic must not pass as one that leaks nothing.
        EXPECT_GE(udpWithTraffic, (kCycles - kCycles / 10) * 9 / 10);
        EXPECT_GE(tcpWithTraffic, kCycles / 10 * 9 / 10);
    }
    // Closing the dialog ended its workers; the far ends and the traffic end with the scope.
}

}  // namespace
