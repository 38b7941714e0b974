#include "platform/ServiceNotifier.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdlib>

namespace platform {

CServiceNotifier::CServiceNotifier() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    m_enabled = socket != nullptr && socket[0] != '\0';
    std::uint64_t usec = 0;
    // > 0 only when WATCHDOG_USEC is set and WATCHDOG_PID, if set, names this process.
    if (m_enabled && sd_watchdog_enabled(0, &usec) > 0) {
        m_watchdogInterval = std::chrono::microseconds(usec);
    }
}

void CServiceNotifier::Ready(std::string_view status) {
    if (!m_enabled || m_ready) return;
    m_ready = true;
    std::string message = "READY=1\nSTATUS=";
    message.append(status);
    Send(message);
}

void CServiceNotifier::Status(std::string_view status) {
    if (!m_enabled || !m_ready) return;
    std::string message = "STATUS=";
    message.append(status);
    Send(message);
}

void CServiceNotifier::Watchdog(Clock::time_point now) {
    if (!m_enabled || m_watchdogInterval.count() <= 0) return;
    if (m_pinged && now - m_lastPing < m_watchdogInterval / 2) return;
    m_pinged = true;
    m_lastPing = now;
    Send("WATCHDOG=1");
}

void CServiceNotifier::Stopping() {
    if (!m_enabled || m_stopping) return;
    m_stopping = true;
    Send("STOPPING=1");
}

void CServiceNotifier::Send(const std::string& message) const {
    // The result is not looked at: a manager that has gone away cannot be told anything.
    sd_notify(0, message.c_str());
}

}  // namespace platform
