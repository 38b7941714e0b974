// Why a sealed tunnel carries nothing, from its counters: what the status line says and how often
// standard error hears of it.
#include <gtest/gtest.h>

#include "engine/SealMonitor.h"

namespace {

using Problem = CSealMonitor::Problem;

TEST(SealMonitor, NamesTheCauseUntilTrafficAuthenticatesAndReportsEachOnce) {
    CSealMonitor monitor;
    CSealMonitor::Counts c;
    EXPECT_EQ(monitor.Poll(c), Problem::kNone);
    c.notSealed = 4;  // a peer without a key
    EXPECT_EQ(monitor.Poll(c), Problem::kPeerUnsealed);
    EXPECT_TRUE(monitor.FirstReport(Problem::kPeerUnsealed));
    EXPECT_EQ(monitor.Poll(c), Problem::kPeerUnsealed) << "holds while nothing changes";
    EXPECT_FALSE(monitor.FirstReport(Problem::kPeerUnsealed)) << "said once, not per poll";
    c.authFailures = 1;  // then another key, which takes some seconds of failing to tell
    c.nowNs = 1'000'000'000;
    EXPECT_EQ(monitor.Poll(c), Problem::kPeerUnsealed);
    c.nowNs += 3'000'000'000;
    EXPECT_EQ(monitor.Poll(c), Problem::kKeyMismatch);
    c.handshakes = 1;  // the right key at last
    EXPECT_EQ(monitor.Poll(c), Problem::kNone);
    EXPECT_STREQ(CSealMonitor::Sentence(Problem::kNone), "");
    monitor.Reset();
    EXPECT_TRUE(monitor.FirstReport(Problem::kPeerUnsealed)) << "a new Start reports again";
}

TEST(SealMonitor, TcpConnectionsEndingWithoutAHandshakeCountAsRefusedAfterThree) {
    CSealMonitor monitor;
    CSealMonitor::Counts c;
    c.connections = 2;
    EXPECT_EQ(monitor.Poll(c), Problem::kNone);
    c.connections = 3;
    EXPECT_EQ(monitor.Poll(c), Problem::kNoHandshake);
    c.handshakes = 1;
    c.connections = 4;
    EXPECT_EQ(monitor.Poll(c), Problem::kNone);
    c.connections = 6;  // two more since the last handshake: a restart, not a refusal
    EXPECT_EQ(monitor.Poll(c), Problem::kNone);
    c.connections = 7;
    EXPECT_EQ(monitor.Poll(c), Problem::kNoHandshake);
}

// A forged message while a session works, or one failure that a session follows within seconds,
// shows nothing; failures without a session for seconds do.
TEST(SealMonitor, FailuresCountAsAnotherKeyOnlyWithoutASessionForSeconds) {
    CSealMonitor monitor;
    CSealMonitor::Counts c;
    c.sessionUp = true;
    for (int i = 1; i <= 50; ++i) {  // a stranger's flood beside a working session
        c.authFailures = i;
        c.nowNs = i * 200'000'000ull;
        EXPECT_EQ(monitor.Poll(c), Problem::kNone) << i;
    }
    c.sessionUp = false;  // the session ran out; one more failure, then a handshake in time
    ++c.authFailures;
    EXPECT_EQ(monitor.Poll(c), Problem::kNone);
    c.nowNs += 2'900'000'000;
    EXPECT_EQ(monitor.Poll(c), Problem::kNone);
    c.handshakes = 1;
    c.nowNs += 1'000'000'000;
    EXPECT_EQ(monitor.Poll(c), Problem::kNone);
    ++c.authFailures;  // and now failing on for 3 s without one
    EXPECT_EQ(monitor.Poll(c), Problem::kNone);
    c.nowNs += 3'000'000'000;
    EXPECT_EQ(monitor.Poll(c), Problem::kKeyMismatch);
}

}  // namespace
