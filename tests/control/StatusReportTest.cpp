// The status protocol end to end without a socket: what the server writes, vantrellctl reads
// back whole (awkward sentences, neighbours, a sealed end), prints as JSON that parses, and
// refuses when the answer is an error or cut short.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "control/StatusProtocol.h"
#include "control/StatusServer.h"
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

// A second end of the same site leaves the first one's socket alone; a dead end's file is
// replaced; the socket is 0660 and goes with its server.
TEST(StatusServer, OneLiveSocketPerSite) {
    char folder[] = "/tmp/vantrell-sock-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/lab.sock";
    CStatusBoard board;
    {
        CStatusServer first("lab", board), second("lab", board);
        ASSERT_TRUE(first.Open(folder)) << first.Problem();
        EXPECT_FALSE(second.Open(folder));
        EXPECT_NE(second.Problem().find("another tunnel end"), std::string::npos);
        struct stat info;
        ASSERT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0660u);
    }
    struct stat info;
    EXPECT_NE(::stat(path.c_str(), &info), 0) << "removed with its server";
    const int dead = ::socket(AF_UNIX, SOCK_STREAM, 0);  // bound, then closed without unlink
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(::bind(dead, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(dead);
    {
        CStatusServer third("lab", board);
        EXPECT_TRUE(third.Open(folder)) << third.Problem();
        third.Launch();
    }
    EXPECT_EQ(::rmdir(folder), 0) << "nothing left behind";
}

}  // namespace
