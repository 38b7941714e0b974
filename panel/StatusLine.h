// The status line's sentence, wherever a tunnel end shows it: every change goes once to the
// operator's log (a line on standard error, which a service manager's journal keeps) and to the
// service manager (STATUS=), so the log, the manager and the dialog's window say the same thing.
// Also what the running tunnel's sentence is at each 100 ms tick, and the service manager's
// ready, watchdog and stopping messages. Owned by the dialog or the daemon; their one thread.
#pragma once

#include <chrono>
#include <string>

#include "platform/ServiceNotifier.h"

class CTunnelEngine;

namespace panel {

// Lines and sentences that both tunnel ends say.
inline constexpr const char* kStartLine = "Start";
inline constexpr const char* kNoCardLine = "Start: no LAN card selected";
inline constexpr const char* kStopLine = "Stop";
inline constexpr const char* kNotConnected = "Not Connected";
inline constexpr const char* kConnected = "Connected";

class CStatusLine {
  public:
    // One line of the operator's log.
    static void Log(const std::string& line);
    // The sentence for a running tunnel at this tick: a LAN card that is away (or was never
    // opened) first, then why a sealed tunnel carries nothing, then the mode's own sentence (the
    // link's, "Connected", or "Using UDP mode."). Polls the engine's seal problem, so once a tick.
    static std::string RunningSentence(CTunnelEngine& engine);

    const std::string& Text() const { return m_text; }
    // False when `text` is already shown; otherwise logs and reports it.
    bool Set(const std::string& text);

    // READY=1 with the sentence of this moment; WATCHDOG=1 when due; STOPPING=1 once.
    void Ready() { m_notifier.Ready(m_text); }
    void Watchdog(std::chrono::steady_clock::time_point now) { m_notifier.Watchdog(now); }
    void Stopping() { m_notifier.Stopping(); }

  private:
    std::string m_text = kNotConnected;     // what the dialog's template shows at first
    platform::CServiceNotifier m_notifier;  // silent unless run by a service manager
};

}  // namespace panel
