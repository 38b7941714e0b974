#include "daemon/Daemon.h"

#include <errno.h>
#include <poll.h>

#include <chrono>
#include <vector>

#include "panel/ControlText.h"
#include "panel/StartForm.h"
#include "platform/StopSignals.h"

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

CDaemon::~CDaemon() {
    m_statusLine.Stopping();
}

bool CDaemon::Start() {
    using panel::Key;
    // As the dialog's initialisation: every key read and written back, the adapters listed, the
    // saved one selected, the link's thread launched.
    panel::CStartForm form = panel::CStartForm::ReadAll();
    m_adapters.FillAdapterList();
    m_adapters.SelectSavedAdapter(form.Text(Key::kAdaptor));
    m_engine.LaunchLink();

    pcap_if_t* adapter = m_adapters.SelectedAdapter();
    if (adapter == nullptr) {
        panel::CStatusLine::Log(panel::kNoCardLine);
        return false;
    }
    panel::CStatusLine::Log(panel::kStartLine);
    // Start saves the selected item's whole label, as the list's window text gives it.
    form.Text(Key::kAdaptor) =
        panel::CutText(panel::EditText(m_adapters.Label(m_adapters.Selection())));
    CTunnelEngine::Settings settings;
    std::string refusal;
    if (!form.Prepare(adapter, settings, refusal)) {
        m_statusLine.Set(refusal);
        return false;
    }
    m_engine.SetSettings(settings);
    m_engine.Start();
    if (settings.mode == CTunnelEngine::Mode::kUdp) m_statusLine.Set(m_engine.UdpStatus());
    m_statusService.Open();
    m_statusService.Publish(m_engine, m_statusLine.Text());
    m_statusLine.Ready();
    return true;
}

void CDaemon::RunUntilStopped(int stopFd) {
    auto nextTick = Clock::now() + std::chrono::milliseconds(kTickMs);
    std::vector<pollfd> watched;
    for (;;) {
        watched.clear();
        watched.push_back({stopFd, POLLIN, 0});
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextTick - Clock::now());
        const int ready = poll(watched.data(), watched.size(),
                               wait.count() > 0 ? static_cast<int>(wait.count()) : 0);
        if (ready < 0 && errno != EINTR) break;  // cannot wait any more: stop as if signalled
        if (ready > 0 && (watched[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            platform::DrainStopSignals();
            break;
        }
        if (Clock::now() >= nextTick) {
            Tick();
            nextTick += std::chrono::milliseconds(kTickMs);
            // After a long stall (a suspended process) the ticks resume from now.
            if (nextTick < Clock::now())
                nextTick = Clock::now() + std::chrono::milliseconds(kTickMs);
        }
    }
}

void CDaemon::Tick() {
    if (m_engine.IsRunning()) {
        // Taken every tick as the dialog's arrows take them, so the counters never grow stale.
        m_engine.TakeInjectedBytes();
        m_engine.TakeForwardedBytes();
        m_statusLine.Set(panel::CStatusLine::RunningSentence(m_engine));
        m_statusService.Publish(m_engine, m_statusLine.Text());
    }
    m_statusLine.Watchdog(Clock::now());
}
