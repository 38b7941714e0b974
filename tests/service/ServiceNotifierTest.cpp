// What the service manager receives on its notification socket: the messages' exact bytes, the
// status held back until ready, the watchdog's pace, and silence without NOTIFY_SOCKET.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/ServiceNotifier.h"

namespace {

using platform::CServiceNotifier;
using namespace std::chrono_literals;

// A notification socket of our own in a fresh folder, named by NOTIFY_SOCKET for the test's
// duration; the watchdog variables are cleared unless a test sets them.
class ServiceNotifierTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char folder[] = "/tmp/vantrell-notify-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        m_folder = folder;
        m_path = m_folder + "/notify";
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, m_path.c_str());
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(m_fd, 0);
        ASSERT_EQ(bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        setenv("NOTIFY_SOCKET", m_path.c_str(), 1);
        unsetenv("WATCHDOG_USEC");
        unsetenv("WATCHDOG_PID");
    }
    void TearDown() override {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        unsetenv("WATCHDOG_PID");
        if (m_fd >= 0) close(m_fd);
        unlink(m_path.c_str());
        rmdir(m_folder.c_str());
    }

    // Every message waiting on the socket, in order (sd_notify has sent them before it returns).
    std::vector<std::string> Received() {
        std::vector<std::string> messages;
        char buffer[4096];
        for (int i = 0; i < 100; ++i) {
            pollfd p = {m_fd, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0) break;
            ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
            if (n < 0) break;
            messages.emplace_back(buffer, static_cast<std::size_t>(n));
        }
        return messages;
    }

    std::string m_folder, m_path;
    int m_fd = -1;
};

using Messages = std::vector<std::string>;

TEST_F(ServiceNotifierTest, StatusWaitsForReadyWhichCarriesTheSentenceOfItsMoment) {
    CServiceNotifier notifier;
    ASSERT_TRUE(notifier.Enabled());
    notifier.Status("Using UDP mode.");  // auto-start, before the dialog is up
    EXPECT_EQ(Received(), Messages{});
    notifier.Ready("Using UDP mode.");
    notifier.Ready("Using UDP mode.");  // once only
    notifier.Status("Not Connected");
    notifier.Stopping();
    notifier.Stopping();
    notifier.Status("Connected");  // a sentence while stopping still reaches the manager
    EXPECT_EQ(Received(), (Messages{"READY=1\nSTATUS=Using UDP mode.", "STATUS=Not Connected",
                                    "STOPPING=1", "STATUS=Connected"}));
}

TEST_F(ServiceNotifierTest, WatchdogPingsAtHalfTheIntervalTheManagerAsked) {
    setenv("WATCHDOG_USEC", "2000000", 1);
    setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
    CServiceNotifier notifier;
    EXPECT_EQ(notifier.WatchdogInterval(), 2s);
    const auto t0 = CServiceNotifier::Clock::now();
    notifier.Watchdog(t0);          // the first tick pings at once
    notifier.Watchdog(t0 + 100ms);  // the 100 ms timer's next ticks do not
    notifier.Watchdog(t0 + 999ms);
    EXPECT_EQ(Received(), Messages{"WATCHDOG=1"});
    notifier.Watchdog(t0 + 1000ms);
    notifier.Watchdog(t0 + 1100ms);
    notifier.Watchdog(t0 + 2000ms);
    EXPECT_EQ(Received(), (Messages{"WATCHDOG=1", "WATCHDOG=1"}));
}

TEST_F(ServiceNotifierTest, NoWatchdogUnlessAskedForThisProcess) {
    CServiceNotifier unasked;
    setenv("WATCHDOG_USEC", "2000000", 1);
    setenv("WATCHDOG_PID", std::to_string(getpid() + 1).c_str(), 1);  // meant for another process
    CServiceNotifier forAnother;
    const auto t0 = CServiceNotifier::Clock::now();
    for (int tick = 0; tick < 50; ++tick) {
        unasked.Watchdog(t0 + tick * 100ms);
        forAnother.Watchdog(t0 + tick * 100ms);
    }
    EXPECT_EQ(unasked.WatchdogInterval().count(), 0);
    EXPECT_EQ(Received(), Messages{});
}

TEST_F(ServiceNotifierTest, WithoutNotifySocketNothingIsSent) {
    setenv("WATCHDOG_USEC", "2000000", 1);
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        if (value == nullptr) {
            unsetenv("NOTIFY_SOCKET");
        } else {
            setenv("NOTIFY_SOCKET", value, 1);
        }
        CServiceNotifier notifier;
        EXPECT_FALSE(notifier.Enabled());
        notifier.Ready("Not Connected");
        notifier.Status("Connected");
        notifier.Watchdog(CServiceNotifier::Clock::now());
        notifier.Stopping();
        // A later NOTIFY_SOCKET does not wake a notifier made without one.
        setenv("NOTIFY_SOCKET", m_path.c_str(), 1);
        notifier.Status("Not Connected");
        notifier.Stopping();
    }
    EXPECT_EQ(Received(), Messages{});
}

}  // namespace
