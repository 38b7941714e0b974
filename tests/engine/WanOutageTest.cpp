// WAN outages between two engines in TCP mode with the link's timers scaled down twentyfold (a
// pass of 50 ms: keep-alives every 3 s and a 3 s retry wait; limits for a vanished peer of 7.5 s
// of silence and 6 s unacknowledged), so that the program tests' 70 s outages take seconds here.
// The same two cases with the real timers are ProgramFault.WanOutage* (release pass only).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "engine/TunnelEngine.h"
#include "tests/engine/TwoLans.h"

namespace forwardtest {
namespace {

using Clock = std::chrono::steady_clock;
using Mode = CTunnelEngine::Mode;

constexpr int kScale = 20;
constexpr unsigned kPassMs = 1000 / kScale;
constexpr auto kOutage = std::chrono::milliseconds(70000 / kScale);
constexpr const char kRetryWaiting[] = "Waiting 1 minute before next connection retry.";

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class WanOutage : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_NETWORK_PRIVILEGES();
        ASSERT_TRUE(m_lans.Ok());
        for (auto side : {CTwoLans::kA, CTwoLans::kB}) {
            auto& engine = side == CTwoLans::kA ? m_a : m_b;
            engine = m_lans.Construct(side);
            ASSERT_TRUE(engine);
            engine->Link().SetPassPauseForTests(kPassMs);
            engine->Link().SetLimitsForTests({150000 / kScale, 120000 / kScale, 150000 / kScale});
            engine->SetSettings(m_lans.Settings(side, Mode::kTcpInitiator));
        }
    }

    void SetWan(CTwoLans::Side side, bool up) {
        ASSERT_EQ(m_lans.Router(side).Run(std::string("ip link set wan0 ") + (up ? "up" : "down")),
                  0);
    }

    // Seconds until host A's ping of host B is answered, or -1 after `limit` seconds.
    double SecondsUntilPing(double limit) {
        const auto start = Clock::now();
        while (SecondsSince(start) < limit) {
            if (m_lans.PingOnce(CTwoLans::kA, CTwoLans::kHostB)) return SecondsSince(start);
        }
        return -1;
    }

    CTwoLans m_lans;
    std::unique_ptr<CTunnelEngine> m_a, m_b;
};

TEST_F(WanOutage, OutageLongerThanTheRetryWaitUnderALiveConnectionHealsByItself) {
    ASSERT_TRUE(m_lans.Start(CTwoLans::kB, *m_b));
    ASSERT_TRUE(m_lans.Start(CTwoLans::kA, *m_a));
    ASSERT_GE(SecondsUntilPing(15), 0) << "the tunnel never came up";
    SetWan(CTwoLans::kA, false);
    // Traffic keeps trying to cross during the outage, as on a real network.
    const auto outageStart = Clock::now();
    while (Clock::now() - outageStart < kOutage) m_lans.PingOnce(CTwoLans::kA, CTwoLans::kHostB);
    SetWan(CTwoLans::kA, true);
    // The connection is ridden out (every limit is longer than the outage) or, if the system's
    // own retransmission back-off outlasts the unacknowledged limit, replaced at once: either
    // way within the rest of a retry wait and one attempt, with slack for that back-off.
    const double seconds = SecondsUntilPing(20);
    ASSERT_GE(seconds, 0) << m_a->Link().GetStatusText();
    EXPECT_LE(seconds, 15.0);
    EXPECT_EQ(m_a->Link().GetStatusCode(), CTcpLink::Status::kConnected)
        << m_a->Link().GetStatusText();
}

TEST_F(WanOutage, InitiatorStartedDuringAnOutageConnectsAfterItsRetryWait) {
    SetWan(CTwoLans::kA, false);
    SetWan(CTwoLans::kB, false);
    ASSERT_TRUE(m_lans.Start(CTwoLans::kB, *m_b));
    ASSERT_TRUE(m_lans.Start(CTwoLans::kA, *m_a));
    // Its attempts fail at once (no route), so after five of them it waits.
    const auto start = Clock::now();
    bool waiting = false;
    while (!waiting && SecondsSince(start) < 30) {
        waiting = m_a->Link().GetStatusText() == kRetryWaiting;
        if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(waiting) << m_a->Link().GetStatusText();
    // The rest of the outage: no connection can come up.
    while (Clock::now() - start < kOutage) {
        ASSERT_NE(m_a->Link().GetStatusCode(), CTcpLink::Status::kConnected)
            << m_a->Link().GetStatusText();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    SetWan(CTwoLans::kA, true);
    SetWan(CTwoLans::kB, true);
    // The rest of a retry wait (3 s), one attempt, ARP and the ping's own second.
    const double seconds = SecondsUntilPing(20);
    ASSERT_GE(seconds, 0) << m_a->Link().GetStatusText();
    EXPECT_LE(seconds, 3.0 + 2.5 + 3.0);
    EXPECT_EQ(m_a->Link().GetStatusCode(), CTcpLink::Status::kConnected)
        << m_a->Link().GetStatusText();
}

}  // namespace
}  // namespace forwardtest
