// The real program under SIGTERM, SIGINT and SIGHUP: it closes as through the close box (every
// worker stopped and joined, nothing written) and exits 0; a second signal during the shut-down
// does no harm.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/support/NetNamespace.h"
#include "tests/ui/UiTestSupport.h"

using testsupport::CNetNamespace;

namespace {

using Clock = std::chrono::steady_clock;

// Starts the program in the current directory (optionally inside a namespace), with the
// offscreen platform and an argument that it must ignore.
pid_t StartProgram(const CNetNamespace* inside) {
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("QT_LOGGING_RULES", "qt.qpa.*=false", 1);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, STDERR_FILENO);
        if (inside != nullptr) {
            execlp("ip", "ip", "netns", "exec", inside->Name().c_str(), VANTRELL_BINARY,
                   "--ignored-argument", static_cast<char*>(nullptr));
        } else {
            execl(VANTRELL_BINARY, VANTRELL_BINARY, "--ignored-argument",
                  static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    return pid;
}

// The settings file once the dialog has initialised (its last read writes "Hide").
bool WaitForInitialisedSettings(int seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
        if (uitest::IniBytes().find("Hide=") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int TaskCount(pid_t pid) {
    return testsupport::CountEntries(("/proc/" + std::to_string(pid) + "/task").c_str());
}

// The wait status, or -1 when the process had not ended after `seconds` (it is then killed).
int Reap(pid_t pid, double seconds, double* took = nullptr) {
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration<double>(seconds);
    int status = 0;
    while (Clock::now() < deadline) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            if (took != nullptr)
                *took = std::chrono::duration<double>(Clock::now() - start).count();
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

TEST(StopSignal, EachStopSignalClosesTheProgramWithoutWriting) {
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        uitest::CTempWorkDir dir;
        const pid_t pid = StartProgram(nullptr);
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(WaitForInitialisedSettings(15)) << signalNumber;
        const std::string bytes = uitest::IniBytes();
        ASSERT_EQ(kill(pid, signalNumber), 0);
        double took = 0;
        const int status = Reap(pid, 10, &took);
        ASSERT_NE(status, -1) << "no exit after signal " << signalNumber;
        EXPECT_TRUE(WIFEXITED(status)) << signalNumber;
        EXPECT_EQ(WEXITSTATUS(status), 0) << signalNumber;
        EXPECT_LT(took, 3.0) << signalNumber;
        EXPECT_EQ(uitest::IniBytes(), bytes) << signalNumber;
    }
}

// Running on a veth, so that the shut-down has workers to stop and join; the second SIGTERM
// lands while it does.
TEST(StopSignal, SecondSignalDuringShutdownIsHarmless) {
    REQUIRE_NETWORK_PRIVILEGES();
    CNetNamespace lan("siglan"), peer("sigpeer");
    ASSERT_TRUE(CNetNamespace::Link(lan, "veth0", peer, "veth0"));
    ASSERT_EQ(lan.Run("ip link set lo up && ip addr add 10.78.0.1/24 dev veth0 && "
                      "ip link set veth0 up"),
              0);
    for (int delayMs : {0, 20, 100}) {
        uitest::CTempWorkDir dir;
        uitest::WriteIni(
            "[This End]\nIP=10.78.0.0\nMask=255.255.255.0\nAdaptor=No Description (veth0)\n"
            "[Tunnel]\nIP=127.0.0.1\nTCP=Yes\n[Virtual]\nIP=10.78.0.254\n"
            "[Start]\nAutostart=Yes\n");
        const pid_t pid = StartProgram(&lan);
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(WaitForInitialisedSettings(15));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // workers up and waiting
        // Auto Start found the adapter: the UI, link, ARP agent, forwarder and injector threads.
        EXPECT_GE(TaskCount(pid), 5);
        const std::string bytes = uitest::IniBytes();
        ASSERT_EQ(kill(pid, SIGTERM), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        kill(pid, SIGTERM);  // may find the process already gone
        const int status = Reap(pid, 10);
        ASSERT_NE(status, -1) << delayMs;
        EXPECT_TRUE(WIFEXITED(status)) << delayMs << " status " << status;
        EXPECT_EQ(WEXITSTATUS(status), 0) << delayMs;
        EXPECT_EQ(uitest::IniBytes(), bytes) << delayMs;
        EXPECT_NE(bytes.find("Adaptor=No Description (veth0)"), std::string::npos);
    }
}

}  // namespace
