// Tells a service manager (systemd) how the program is doing, through libsystemd's sd_notify:
// ready, the status sentence, watchdog pings, stopping. Without a notification socket in the
// environment (NOTIFY_SOCKET, which only a service manager sets) every call does nothing, so a
// window on a desktop is unaffected. Owned by the dialog; UI thread only.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace platform {

class CServiceNotifier {
  public:
    using Clock = std::chrono::steady_clock;

    // Reads NOTIFY_SOCKET and the watchdog interval (WATCHDOG_USEC, WATCHDOG_PID) once.
    CServiceNotifier();

    bool Enabled() const { return m_enabled; }
    // The manager's watchdog interval; zero when it asked for none.
    std::chrono::microseconds WatchdogInterval() const { return m_watchdogInterval; }

    // READY=1 together with the status sentence shown at that moment.
    void Ready(std::string_view status);
    // STATUS=<sentence>. Before Ready nothing is sent: Ready carries the sentence of its moment.
    void Status(std::string_view status);
    // WATCHDOG=1 when the manager asked for a watchdog and half its interval has passed since
    // the last ping; meant to be called often (every timer tick) with the current time.
    void Watchdog(Clock::time_point now);
    // STOPPING=1, once, when the program begins to shut down.
    void Stopping();

  private:
    void Send(const std::string& message) const;

    bool m_enabled = false;
    bool m_ready = false;
    bool m_stopping = false;
    std::chrono::microseconds m_watchdogInterval{0};
    bool m_pinged = false;  // m_lastPing holds the time of a ping already sent
    Clock::time_point m_lastPing;
};

}  // namespace platform
