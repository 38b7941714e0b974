// One end of the tunnel without a window: holds that end's settings, owns its ARP agent (which
// keeps what it learnt across Start and Stop) and its TCP link (whose thread runs from
// construction to destruction), and starts and stops the forwarder and the injector in the
// dialog's orders. Used by the tests and the benchmark's engine program.
// One owner thread calls everything. Threads started by the constructor and by Start live in
// that thread's network namespace at the time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "link/TcpLink.h"

class CArpAgent;
class CLanToTunnel;
class CTunnelToLan;
typedef struct pcap_if pcap_if_t;  // the capture library's adapter record

class CTunnelEngine {
  public:
    enum class Mode { kUdp, kTcpListener, kTcpInitiator };

    // Addresses in host order (first dotted field in the top byte).
    struct Settings {
        std::uint32_t thisSubnet = 0;
        std::uint32_t thisMask = 0;
        std::uint32_t otherSubnet = 0;
        std::uint32_t otherMask = 0;
        std::uint32_t tunnelAddress = 0;
        int tunnelPort = 27659;
        int listenPort = 27659;
        std::uint32_t virtualAddress = 0;
        std::string virtualMac;        // "00:D0:BE:D0:BE:D0"; checked by Start (CMacAddress)
        pcap_if_t* adapter = nullptr;  // not owned; outlives every run; none: Start does nothing
        Mode mode = Mode::kUdp;
        bool respond = true;
    };

    CTunnelEngine();   // creates the ARP agent and launches the idle link
    ~CTunnelEngine();  // injector, forwarder, link, ARP agent: each stopped and joined

    CTunnelEngine(const CTunnelEngine&) = delete;
    CTunnelEngine& operator=(const CTunnelEngine&) = delete;

    void SetSettings(const Settings& settings);  // takes effect at the next Start
    const Settings& GetSettings() const { return m_settings; }

    // False, starting nothing, without an adapter, with a virtual MAC that is not a valid
    // individual address (the reason goes to standard error), or while running.
    bool Start();
    void Stop();  // nothing when not running
    bool IsRunning() const { return m_running; }

    // Bytes since the last take; 0 while stopped.
    int TakeForwardedBytes();  // LAN to tunnel
    int TakeInjectedBytes();   // tunnel to LAN

    void SetRespond(bool respond);  // also while running, as the dialog's check box
    // The running workers, for tests and traces (their atomic read-outs only); null while
    // stopped.
    const CLanToTunnel* Forwarder() const { return m_lanToTunnel.get(); }
    const CTunnelToLan* Injector() const { return m_tunnelToLan.get(); }
    CTcpLink& Link() { return m_link; }
    CArpAgent& ArpAgent() { return *m_arpAgent; }

  private:
    Settings m_settings;
    bool m_running = false;
    std::unique_ptr<CArpAgent> m_arpAgent;
    CTcpLink m_link;
    std::unique_ptr<CLanToTunnel> m_lanToTunnel;  // only between Start and Stop
    std::unique_ptr<CTunnelToLan> m_tunnelToLan;  // only between Start and Stop
};
