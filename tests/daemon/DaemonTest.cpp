// vantrelld as a whole, in the two-LAN namespaces: both modes, plain and sealed, carry pings and
// 20 MB each way intact; the service manager hears READY=1, STATUS=, WATCHDOG=1 and STOPPING=1;
// each stop signal ends it in order with status 0 and a second one at once; its options; and
// (where the dialog program is built) the settings file it leaves is the dialog's, byte for
// byte, after a first run and after a Start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/faults/TwoLanPrograms.h"

namespace {

// What the program said on standard error, reduced to the lines it says to the operator: a
// Release build says nothing else; a Debug build (the sanitizer passes) also prints every trace
// line there, which this leaves out by keeping only the lines of `said` found in `expected`.
std::string OperatorLines(const std::string& said, const std::vector<std::string>& expected) {
#ifdef NDEBUG
    (void)expected;
    return said;
#else
    std::string kept, line;
    std::istringstream in(said);
    while (std::getline(in, line))
        for (const std::string& e : expected)
            if (line == e) {
                kept += line + "\n";
                break;
            }
    return kept;
#endif
}

using testsupport::CTwoLanPrograms;
using testsupport::TunnelMode;
using Clock = std::chrono::steady_clock;
constexpr auto kA = CTwoLanPrograms::kA;
constexpr auto kB = CTwoLanPrograms::kB;
constexpr const char* kHostA = CTwoLanPrograms::kHostA;
constexpr const char* kHostB = CTwoLanPrograms::kHostB;
const std::string kKey = "2b7e151628aed2a6abf7158809cf4f3c762e7160f38b4da56a784d9045190cfe";

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// True once `done` holds, polled every 20 ms for at most `seconds`.
template <typename Done>
bool Within(double seconds, Done done) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

// Runs `program` with `argument` (may be null) in `dir`, inside the network namespace `ns`
// (empty: this one), standard error into dir/stderr.txt; the dialog program off screen.
pid_t Spawn(const std::string& program, const std::string& dir, const std::string& ns,
            const char* argument = nullptr) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = ns.empty() ? -1 : open(("/run/netns/" + ns).c_str(), O_RDONLY);
        if ((!ns.empty() && (fd < 0 || setns(fd, CLONE_NEWNET) != 0)) || chdir(dir.c_str()) != 0)
            _exit(127);
        const int errors = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(errors, STDERR_FILENO);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("XDG_RUNTIME_DIR", (dir + "/xdg").c_str(), 1);
        execl(program.c_str(), program.c_str(), argument, static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// The wait status, or -1 after `seconds` (the process is then killed).
int Reap(pid_t pid, double seconds) {
    int status = -1;
    if (Within(seconds, [&] { return waitpid(pid, &status, WNOHANG) == pid; })) return status;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

// The service manager's end of NOTIFY_SOCKET: every message received, in order.
class CNotifySocket {
  public:
    explicit CNotifySocket(const std::string& path) : m_path(path) {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        m_ok = m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~CNotifySocket() {
        if (m_fd >= 0) close(m_fd);
        unlink(m_path.c_str());
    }
    bool Ok() const { return m_ok; }
    // Every message so far, each followed by "|".
    const std::string& Heard() {
        char message[4096];
        ssize_t n;
        while ((n = recv(m_fd, message, sizeof message, MSG_DONTWAIT)) > 0)
            m_heard.append(message, static_cast<std::size_t>(n)).append("|");
        return m_heard;
    }

  private:
    std::string m_path, m_heard;
    int m_fd = -1;
    bool m_ok = false;
};

class Daemon : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_NETWORK_PRIVILEGES();
        m_lans = std::make_unique<CTwoLanPrograms>();
        ASSERT_TRUE(m_lans->Ok());
    }
    std::unique_ptr<CTwoLanPrograms> m_lans;
};

TEST_F(Daemon, BothModesPlainAndSealedCarryPingsAndTwentyMegabytesEachWay) {
    for (const std::string& key : {std::string(), kKey}) {
        for (TunnelMode mode : {TunnelMode::kUdp, TunnelMode::kTcp}) {
            const bool udp = mode == TunnelMode::kUdp;
            SCOPED_TRACE(std::string(udp ? "UDP" : "TCP") + (key.empty() ? "" : ", sealed"));
            for (char end : {'A', 'B'}) {
                m_lans->SetKey(end, key);
                m_lans->Configure(end, mode);
                ASSERT_GT(m_lans->Start(end), 0);
            }
            ASSERT_GE(m_lans->SecondsUntilPing(20), 0) << m_lans->ErrorText('A');
            EXPECT_EQ(m_lans->Host(kA).Run(std::string("ping -c 3 -i 0.2 -W 1 ") + kHostB), 0);
            EXPECT_EQ(m_lans->Host(kB).Run(std::string("ping -c 3 -i 0.2 -W 1 ") + kHostA), 0);
            double seconds = 0;
            const std::vector<std::string> sums = m_lans->TransferBothWays(20, 40, &seconds);
            ASSERT_EQ(sums.size(), 4u);
            EXPECT_EQ(sums[0], sums[1]) << "A to B";
            EXPECT_EQ(sums[2], sums[3]) << "B to A";
            std::printf("[ daemon ] %s%s: 2 x 20 MB in %.2f s\n", udp ? "UDP" : "TCP",
                        key.empty() ? "" : " sealed", seconds);
            // The log: Start, then the mode's sentences (B listens in TCP mode).
            const std::string said =
                OperatorLines(m_lans->ErrorText('B'),
                              {"Start", "Using UDP mode.", "Waiting for connection", "Connected"});
            EXPECT_EQ(said.rfind("Start\n", 0), 0u) << said;
            EXPECT_NE(said.find(udp ? "\nUsing UDP mode.\n" : "\nConnected\n"), std::string::npos)
                << said;
            for (char end : {'A', 'B'}) {
                const int status = m_lans->Signal(end, SIGTERM);
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << end << status;
            }
        }
    }
}

TEST_F(Daemon, TellsTheServiceManagerAndEachStopSignalStopsItInOrder) {
    const std::string socketPath = m_lans->Dir('A') + "/notify";
    CNotifySocket manager(socketPath);
    ASSERT_TRUE(manager.Ok());
    m_lans->Configure('A', TunnelMode::kUdp);
    setenv("NOTIFY_SOCKET", socketPath.c_str(), 1);
    setenv("WATCHDOG_USEC", "400000", 1);  // a ping every 200 ms
    const pid_t pid = m_lans->Start('A');
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(Within(10, [&] {
        return manager.Heard().find("WATCHDOG=1|WATCHDOG=1|") != std::string::npos;
    })) << manager.Heard();
    // Ready once the tunnel was started, carrying the sentence of that moment.
    EXPECT_EQ(manager.Heard().rfind("READY=1\nSTATUS=Using UDP mode.|WATCHDOG=1|", 0), 0u)
        << manager.Heard();
    const int status = m_lans->Signal('A', SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(manager.Heard().find("|STOPPING=1|"), std::string::npos) << manager.Heard();
    EXPECT_EQ(OperatorLines(m_lans->ErrorText('A'), {"Start", "Using UDP mode.", "Stop"}),
              "Start\nUsing UDP mode.\n");

    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        ASSERT_GT(m_lans->Start('A'), 0);
        ASSERT_TRUE(Within(10, [&] {
            return m_lans->ErrorText('A').find("Using UDP mode.") != std::string::npos;
        }));
        const int stopped = m_lans->Signal('A', signalNumber);
        EXPECT_TRUE(WIFEXITED(stopped) && WEXITSTATUS(stopped) == 0) << signalNumber;
    }
    // Two signals delivered together (sent while it is stopped): the second ends it at once.
    ASSERT_GT(m_lans->Start('A'), 0);
    ASSERT_TRUE(Within(
        10, [&] { return m_lans->ErrorText('A').find("Using UDP mode.") != std::string::npos; }));
    kill(m_lans->Pid('A'), SIGSTOP);
    kill(m_lans->Pid('A'), SIGTERM);
    kill(m_lans->Pid('A'), SIGINT);
    kill(m_lans->Pid('A'), SIGCONT);
    const int ended = m_lans->Signal('A', 0, true, 5);
    EXPECT_TRUE(WIFSIGNALED(ended)) << ended;
}

TEST_F(Daemon, OptionsVersionHelpFolderAndAWrongOne) {
    const std::string dir = m_lans->Dir('A');
    const std::string other = dir + "/site";
    std::filesystem::create_directories(other);
    EXPECT_EQ(Reap(Spawn(VANTRELLD_BINARY, dir, "", "--bogus"), 10) >> 8, 2);
    EXPECT_NE(FileText(dir + "/stderr.txt").find("usage: vantrelld [-C DIR]"), std::string::npos);
    EXPECT_EQ(Reap(Spawn(VANTRELLD_BINARY, dir, "", "--version"), 10), 0);
    // -C: the first run writes every key there and, no card being saved, refuses to start.
    const std::string option = "-C" + other;
    EXPECT_EQ(
        Reap(Spawn(VANTRELLD_BINARY, dir, m_lans->Router(kA).Name(), option.c_str()), 10) >> 8, 1);
    EXPECT_EQ(
        OperatorLines(FileText(dir + "/stderr.txt"), {"Start", "Start: no LAN card selected"}),
        "Start: no LAN card selected\n");
    EXPECT_NE(FileText(other + "/Vantrell.INI").find("Hide=No"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir + "/Vantrell.INI"));
}

#ifdef VANTRELL_DIALOG_BINARY
// The same file in two folders, read by the dialog program (Auto Start on) and by the daemon:
// after a first run, after a Start and after a refused Start both leave the same bytes.
TEST_F(Daemon, SettingsFileIsTheDialogsByteForByte) {
    const std::string ns = m_lans->Router(kA).Name();
    const std::string started =
        "; a comment stays\r\n[This End]\r\nIP=10.01.0.0\r\nMask= 255.255.255.0\r\n"
        "Adaptor=no description (LAN\r\nMine=kept\r\n[Other End]\r\nIP=10.2.0.0.7\r\n"
        "[Tunnel]\r\nIP=10.99.0.2\r\nPort="
        "27659\xe2\x82x\xe0\x80\xaf\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe2\r\ntcp=no\r\n[Listen]"
        "\r\nPort="
        "27659\xe9\r\n"
        "[Virtual]\r\nIP=10.1.0.1\r\nMAC=02:00:00:0a:00:01\r\n[Start]\r\nAutostart=yes\r\n"
        "Hide=" +
        std::string(400, 'h') + "\r\n";
    std::string refused = started;
    refused.replace(refused.find("MAC=02:00"), 9, "MAC=01:00");
    struct Case {
        const char* name;
        std::string file;    // "" : no file (a first run)
        const char* dialog;  // what the dialog says once it has done all it will do
        int daemonStatus;
    };
    const Case cases[] = {
        {"first run", "", nullptr, 1},
        {"a Start", started, "Using UDP mode.", 0},
        {"a refused Start", refused, "Not started: the virtual MAC", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string result[2];
        for (int program = 0; program < 2; ++program) {
            const std::string dir = m_lans->Dir(program == 0 ? 'A' : 'B');
            std::filesystem::remove(dir + "/Vantrell.INI");
            if (!c.file.empty()) std::ofstream(dir + "/Vantrell.INI", std::ios::binary) << c.file;
            const pid_t pid =
                Spawn(program == 0 ? VANTRELL_DIALOG_BINARY : VANTRELLD_BINARY, dir, ns);
            const auto says = [&](const char* what) {
                return FileText(dir + "/stderr.txt").find(what) != std::string::npos;
            };
            if (program == 0) {
                ASSERT_TRUE(Within(15, [&] {
                    return c.dialog != nullptr ? says(c.dialog)
                                               : FileText(dir + "/Vantrell.INI").find("Hide=No") !=
                                                     std::string::npos;
                }));
                kill(pid, SIGTERM);
                EXPECT_EQ(Reap(pid, 10), 0);
            } else if (c.daemonStatus == 0) {
                ASSERT_TRUE(Within(15, [&] { return says("Using UDP mode."); }));
                kill(pid, SIGTERM);
                EXPECT_EQ(Reap(pid, 10), 0);
            } else {
                EXPECT_EQ(Reap(pid, 15) >> 8, c.daemonStatus) << FileText(dir + "/stderr.txt");
            }
            result[program] = FileText(dir + "/Vantrell.INI");
        }
        EXPECT_FALSE(result[0].empty());
        EXPECT_EQ(result[1], result[0]);
    }
}
#endif

}  // namespace
