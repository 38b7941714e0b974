// The dialog program serves its status: vantrellctl finds each running program by its runtime
// folder, counts a ping run exactly and the capture ring's overflow, and the socket goes with
// the program.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "tests/faults/TwoLanPrograms.h"
#include "tests/support/StatusQuery.h"

namespace {

using testsupport::CStatusQuery;
using testsupport::CTwoLanPrograms;
using testsupport::TunnelMode;

// Whether the process has stopped on a signal (polled every 10 ms, at most 5 s).
bool Stopped(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    for (int i = 0; i < 500; ++i) {
        std::string stat;
        if (FILE* file = std::fopen(path.c_str(), "r")) {
            char buffer[512];
            stat.assign(buffer, std::fread(buffer, 1, sizeof buffer, file));
            std::fclose(file);
        }
        const std::size_t end = stat.rfind(") ");  // the state follows the command's name
        if (end != std::string::npos && stat.compare(end + 2, 1, "T") == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(ProgramStatus, EachProgramServesItsCountsUntilItEnds) {
    REQUIRE_NETWORK_PRIVILEGES();
    CTwoLanPrograms lans;
    ASSERT_TRUE(lans.Ok());
    lans.Configure('A', TunnelMode::kUdp);
    lans.Configure('B', TunnelMode::kUdp);
    lans.Start('A');
    lans.Start('B');
    ASSERT_GE(lans.SecondsUntilPing(20), 0) << lans.ErrorText('A');
    const std::string runtime = lans.Dir('A') + "/xdg";
    const std::string site = lans.Dir('A').substr(lans.Dir('A').rfind('/') + 1);
    const CStatusQuery status(VANTRELLCTL_BINARY, runtime);
    EXPECT_EQ(status.WaitFor("", "e[\"site\"], e[\"status\"]", site + " Using UDP mode."),
              site + " Using UDP mode.");
    // The counts before the counted ping, once the pings that found the tunnel up are in them.
    const std::string before = status.Settled("", "e[\"tx_packets\"], e[\"rx_packets\"]");
    long long tx = 0, rx = 0;
    ASSERT_EQ(std::sscanf(before.c_str(), "%lld %lld", &tx, &rx), 2) << before;
    ASSERT_EQ(lans.Host(CTwoLanPrograms::kA).Run("ping -q -c 5 -i 0.2 -W 2 10.2.0.10 >/dev/null"),
              0);
    const std::string expected = std::to_string(tx + 5) + " " + std::to_string(rx + 5);
    EXPECT_EQ(status.WaitFor("", "e[\"tx_packets\"], e[\"rx_packets\"]", expected), expected);

    // A's program stopped while host A sends 10,000 full-size frames to the virtual MAC at once
    // (all preloaded: ping sends no more without answers): the capture's ring, room for about a
    // thousand, overflows, and the capture library's count of it shows once the program runs.
    ASSERT_EQ(lans.Signal('A', SIGSTOP, false), -1);
    EXPECT_TRUE(Stopped(lans.Pid('A')));
    lans.Host(CTwoLanPrograms::kA)
        .Run("ping -q -c 10000 -l 10000 -s 1400 -w 2 10.2.0.10 >/dev/null");
    lans.Signal('A', SIGCONT, false);
    EXPECT_EQ(status.WaitFor("", "e[\"dropped\"][\"capture_overflow\"] > 0", "True"), "True");

    const std::string socket = runtime + "/vantrell/" + site + ".sock";
    struct stat info;
    ASSERT_EQ(::stat(socket.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0660u);
    EXPECT_EQ(lans.Signal('A', SIGTERM), 0);
    EXPECT_NE(::stat(socket.c_str(), &info), 0) << "the socket goes with the program";
}

}  // namespace
