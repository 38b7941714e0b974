// The status protocol end to end without a socket: what the server writes, vantrellctl reads
// back whole (awkward sentences, neighbours, a sealed end), prints as JSON that parses, and
// refuses when the answer is an error or cut short.
#include <gtest/gtest.h>

#include <cstdio>

#include "control/StatusProtocol.h"
#include "ctl/StatusReport.h"

namespace {

TunnelStatus SealedEnd() {
    TunnelStatus s;
    s.site = "lab";
    s.sentence = "Say \"hi\" \\ then\nstop";
    s.running = true;
    s.mode = "tcp_initiator";
    s.sealed = true;
    s.peerAddress = 0x0A630002;
    s.peerPort = 27659;
    s.rxPackets = 7;
    s.dropped[kDropReplayed] = 3;
    s.handshakeSecondsAgo = 65;
    s.rekeys = 2;
    NeighbourStatus n;
    n.address = 0x0A02000A;
    n.mac[5] = 0xab;
    n.state = "reachable";
    n.confirmedSecondsAgo = 4;
    s.neighbours = {n, n};
    return s;
}

TEST(StatusReport, WhatTheServerWritesIsReadBackWhole) {
    CStatusReport report;
    ASSERT_TRUE(report.Parse(control::FormatStatus(SealedEnd())));
    EXPECT_EQ(report.Get("status"), "Say \"hi\" \\ then stop") << "one line per value";
    EXPECT_EQ(report.Get("endpoint"), "10.99.0.2:27659");
    EXPECT_EQ(report.Get("dropped_replayed"), "3");
    ASSERT_EQ(report.Neighbours().size(), 2u);
    EXPECT_EQ(report.Neighbours()[1], (CStatusReport::Fields{{"neighbour", "10.2.0.10"},
                                                             {"mac", "00:00:00:00:00:ab"},
                                                             {"state", "reachable"},
                                                             {"confirmed_sec", "4"}}));
    const std::string human = report.Human();
    EXPECT_NE(human.find("  mode: TCP initiator\n"), std::string::npos) << human;
    EXPECT_NE(human.find("  latest handshake: 1 minute, 5 seconds ago\n"), std::string::npos);
    EXPECT_NE(human.find("  dropped: replayed 3\n"), std::string::npos);
    const std::string metrics = CStatusReport::Metrics({report});
    EXPECT_NE(metrics.find("vantrell_rekeys_total{site=\"lab\"} 2\n"), std::string::npos);
    EXPECT_NE(metrics.find("vantrell_neighbours{site=\"lab\",state=\"reachable\"} 2\n"),
              std::string::npos);

    // The JSON document parses, and the awkward sentence comes back as it was sent.
    const std::string path = ::testing::TempDir() + "status.json";
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs(CStatusReport::Json({report, report}).c_str(), file);
    std::fclose(file);
    const std::string check =
        "python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
        "e=d[\"ends\"][1]; sys.exit(0 if e[\"status\"] == "
        "\"Say \\\"hi\\\" \\\\ then stop\" and e[\"rx_packets\"] == 7 and "
        "e[\"dropped\"][\"replayed\"] == 3 and len(e[\"neighbours\"]) == 2 "
        "else 1)' " +
        path;
    EXPECT_EQ(std::system(check.c_str()), 0);
}

TEST(StatusReport, AnErrorOrACutAnswerIsRefused) {
    CStatusReport report;
    EXPECT_FALSE(report.Parse("errno=22\n\n"));
    const std::string whole = control::FormatStatus(SealedEnd());
    EXPECT_FALSE(report.Parse(whole.substr(0, whole.size() - 12)));
    EXPECT_FALSE(report.Parse(""));
}

TEST(StatusProtocol, SiteNamesAreSafeFileNames) {
    EXPECT_EQ(control::SiteOfFolder("/etc/vantrell/branch-2/"), "branch-2");
    EXPECT_EQ(control::SiteName("a/b c"), "a_b_c");
    EXPECT_EQ(control::SiteName(".."), "vantrell");
    EXPECT_EQ(control::SiteName(""), "vantrell");
}

}  // namespace
