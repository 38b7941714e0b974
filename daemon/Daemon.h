// vantrelld's one tunnel end: the dialog's initialisation, Start and 100 ms timer without the
// window. It reads every setting as the dialog does (panel::CStartForm), starts the tunnel at
// once whatever "Autostart" says, and then, every tick, says the status sentence on standard
// error and to the service manager exactly as the dialog program does, until a stop signal. Its
// destruction stops and joins the injector, the forwarder, the link and the ARP agent, in this
// order. Made and run by main(), on the main thread only; the workers never call back.
#pragma once

#include "engine/TunnelEngine.h"
#include "panel/AdapterList.h"
#include "panel/StatusLine.h"

class CDaemon {
  public:
    static constexpr int kTickMs = 100;

    CDaemon() = default;
    ~CDaemon();  // STOPPING=1 first, then the engine ends every worker
    CDaemon(const CDaemon&) = delete;
    CDaemon& operator=(const CDaemon&) = delete;

    // Reads the settings file in the working directory and starts the tunnel. False when Start
    // found no adapter for the saved label or refused the settings: the reason has been said.
    bool Start();
    // Runs the ticks until `stopFd` (platform::StopSignalFd) becomes readable.
    void RunUntilStopped(int stopFd);

  private:
    // One timer tick: the traffic counters taken, the status sentence, the watchdog.
    void Tick();

    panel::CStatusLine m_statusLine;
    CAdapterList m_adapters;
    // Declared after m_adapters, so destroyed (its workers joined) before the adapter records
    // they point to are freed.
    CTunnelEngine m_engine;
    // Whatever serves the running tunnel between ticks (a read-only status socket, say) is a
    // member declared here, after m_engine (so it goes first), made in Start once the engine runs,
    // and polled in RunUntilStopped beside the stop signals' pipe.
};
