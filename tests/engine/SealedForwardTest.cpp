// The sealed tunnel's engines between two LANs, with the sessions' lifetimes shortened through
// the settings' test timings: rekeying every 50 ms under a steady transfer loses
// nothing, in either mode.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/engine/TwoLans.h"

namespace {

using forwardtest::CTwoLans;
using seal::CSealedChannel;

seal::CTunnelKey TestKey() {
    std::uint8_t bytes[seal::kKeySize];
    for (int i = 0; i < seal::kKeySize; ++i) bytes[i] = static_cast<std::uint8_t>(0x40 + 7 * i);
    return seal::CTunnelKey::FromBytes(bytes);
}

seal::SealTimings FastRekeys() {
    seal::SealTimings t;
    t.rekeyAfterNs = 50'000'000;
    t.responderRekeyAfterNs = 70'000'000;
    t.rejectAfterNs = 3'000'000'000;
    t.retryAfterNs = 200'000'000;
    t.authTimeoutNs = 3'000'000'000;
    // And by count, so that a transfer that runs faster than usual still rekeys several times.
    t.rekeyAfterMessages = 2000;
    return t;
}

TEST(SealedForward, RekeyingUnderASteadyTransferLosesNothing) {
    REQUIRE_NETWORK_PRIVILEGES();
    for (CTunnelEngine::Mode mode :
         {CTunnelEngine::Mode::kUdp, CTunnelEngine::Mode::kTcpInitiator}) {
        const bool udp = mode == CTunnelEngine::Mode::kUdp;
        SCOPED_TRACE(udp ? "UDP" : "TCP");
        CTwoLans lans;
        ASSERT_TRUE(lans.Ok());
        std::unique_ptr<CTunnelEngine> ends[2] = {lans.Construct(CTwoLans::kA),
                                                  lans.Construct(CTwoLans::kB)};
        for (CTwoLans::Side side : {CTwoLans::kB, CTwoLans::kA}) {
            CTunnelEngine::Settings s = lans.Settings(side, mode);
            s.key = TestKey();
            s.sealTimings = FastRekeys();
            ends[side]->SetSettings(s);
            ASSERT_TRUE(lans.Start(side, *ends[side]));
        }
        ASSERT_TRUE(lans.PingUntil(CTwoLans::kA, CTwoLans::kHostB, 15));

        CSealedChannel::Stats before[2], after[2];
        for (int side : {0, 1}) before[side] = ends[side]->SealedChannel()->GetStats();
        double seconds = 0;
        std::vector<std::string> sums = lans.TransferBothWays(12, 40, &seconds);
        for (int side : {0, 1}) after[side] = ends[side]->SealedChannel()->GetStats();
        ASSERT_EQ(sums.size(), 4u);
        EXPECT_EQ(sums[0], sums[1]);
        EXPECT_EQ(sums[2], sums[3]);

        for (int side : {0, 1}) {
            SCOPED_TRACE(side == 0 ? "end A" : "end B");
            const std::uint64_t rekeys = after[side].handshakes - before[side].handshakes;
            std::printf("[ rekey ] %s end %c: %llu sessions in %.2f s\n", udp ? "UDP" : "TCP",
                        side == 0 ? 'A' : 'B', static_cast<unsigned long long>(rekeys), seconds);
            EXPECT_GE(rekeys, 3u) << "the test rekeyed too rarely to mean anything";
            // Nothing went unsealed for want of a session, nothing arrived for a session that
            // was gone, and nothing failed.
            EXPECT_EQ(after[side].unsent, before[side].unsent);
            EXPECT_EQ(after[side].malformed, before[side].malformed);
            EXPECT_EQ(after[side].authFailures, before[side].authFailures);
            EXPECT_GT(after[side].opened, before[side].opened + 1000);
        }
        for (auto& end : ends) {
            lans.Inside(lans.Router(end.get() == ends[0].get() ? CTwoLans::kA : CTwoLans::kB),
                        [&] { end->Stop(); });
        }
    }
}

}  // namespace
