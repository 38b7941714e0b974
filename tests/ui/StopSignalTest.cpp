// The real program under SIGTERM, SIGINT and SIGHUP: the first closes it as through the close box
// (every worker stopped and joined, nothing written) and it exits 0; a second one while it closes
// ends it at once.
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

// Running on a veth, so that the close has workers to stop and join. A second stop signal ends
// the program at once, by that signal, instead of waiting for the close. To land both signals
// with certainty before the close can finish, they are sent while the program is stopped
// (SIGSTOP) and delivered together when it continues.
TEST(StopSignal, SecondSignalWhileClosingEndsTheProgramAtOnce) {
    REQUIRE_NETWORK_PRIVILEGES();
    CNetNamespace lan("siglan"), peer("sigpeer");
    ASSERT_TRUE(CNetNamespace::Link(lan, "veth0", peer, "veth0"));
    ASSERT_EQ(lan.Run("ip link set lo up && ip addr add 10.78.0.1/24 dev veth0 && "
                      "ip link set veth0 up"),
              0);
    const std::pair<int, int> pairs[] = {{SIGTERM, SIGINT}, {SIGHUP, SIGTERM}, {SIGINT, SIGHUP}};
    // The program running in the current folder, its workers up and waiting; -1 on failure.
    auto startRunning = [&lan] {
        uitest::WriteIni(
            "[This End]\nIP=10.78.0.0\nMask=255.255.255.0\nAdaptor=No Description (veth0)\n"
            "[Tunnel]\nIP=127.0.0.1\nTCP=Yes\n[Virtual]\nIP=10.78.0.254\n"
            "[Start]\nAutostart=Yes\n");
        const pid_t pid = StartProgram(&lan);
        if (pid <= 0) return pid_t(-1);
        if (!WaitForInitialisedSettings(15)) {
            Reap(pid, 0);
            return pid_t(-1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return pid;
    };
    for (const auto& [first, second] : pairs) {
        uitest::CTempWorkDir dir;
        const pid_t pid = startRunning();
        ASSERT_GT(pid, 0);
        // Auto Start found the adapter: the UI, link, ARP agent, forwarder and injector threads.
        EXPECT_GE(TaskCount(pid), 5);
        const std::string bytes = uitest::IniBytes();
        ASSERT_EQ(kill(pid, SIGSTOP), 0);
        ASSERT_EQ(kill(pid, first), 0);
        ASSERT_EQ(kill(pid, second), 0);
        ASSERT_EQ(kill(pid, SIGCONT), 0);
        double took = 0;
        const int status = Reap(pid, 10, &took);
        ASSERT_NE(status, -1) << first << " " << second;
        ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
        // Both were pending; whichever the kernel delivered second ends the program.
        EXPECT_TRUE(WTERMSIG(status) == first || WTERMSIG(status) == second) << WTERMSIG(status);
        EXPECT_LT(took, 1.0);
        EXPECT_EQ(uitest::IniBytes(), bytes);
    }

    // Sent a moment apart, the second signal meets the close under way: the program is gone at
    // once, ended by it, or had already finished the close and exited normally.
    for (int delayMs : {5, 50}) {
        uitest::CTempWorkDir dir;
        const pid_t pid = startRunning();
        ASSERT_GT(pid, 0);
        ASSERT_EQ(kill(pid, SIGTERM), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        kill(pid, SIGTERM);  // may find the process already gone
        const int status = Reap(pid, 10);
        ASSERT_NE(status, -1) << delayMs;
        EXPECT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) ||
                    (WIFEXITED(status) && WEXITSTATUS(status) == 0))
            << delayMs << " status " << status;
    }
}

}  // namespace
