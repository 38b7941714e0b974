// One end of the tunnel: the one owner of the workers and of the order in which they are
// created, configured, launched, stopped and joined. It owns the ARP agent (which keeps what it
// learnt across Start and Stop) and the TCP link (whose thread runs from LaunchLink to
// destruction) for its whole life, and the forwarder and the injector between Start and Stop.
// The dialog drives one (it decides when, and reads and writes the settings); the tests and the
// benchmark's engine program drive it the same way.
// One owner thread calls everything. Threads live in that thread's network namespace at the
// time they are launched (LaunchLink, Start).
// Sealed (a key in the settings): Start creates one sealed channel that the forwarder, the
// injector and the link share, and Stop lets it go once they have ended.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/SealMonitor.h"
#include "engine/card/LanCard.h"
#include "engine/peer/TunnelSocket.h"
#include "engine/peer/UdpPeer.h"
#include "engine/status/TunnelStatus.h"
#include "link/TcpLink.h"
#include "platform/Pcap.h"
#include "seal/SealedChannel.h"
#include "seal/TunnelKey.h"

class CArpAgent;
class CLanToTunnel;
class CMacAddress;
class CTunnelToLan;

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
        seal::CTunnelKey key;  // not set: unsealed, the tunnel's bytes exactly as without it
        // Tests only: shorter sessions, rekeys and time-outs.
        seal::SealTimings sealTimings;
    };

    CTunnelEngine();   // creates the ARP agent and the link; starts no thread
    ~CTunnelEngine();  // injector, forwarder, link, ARP agent: each stopped and joined

    CTunnelEngine(const CTunnelEngine&) = delete;
    CTunnelEngine& operator=(const CTunnelEngine&) = delete;

    // The one check of a virtual MAC text: true with `mac` set when it is a valid individual
    // address; false, with the sentence why on standard error, when the tunnel must not start.
    static bool ParseVirtualMac(const std::string& text, CMacAddress& mac);

    // Starts the link's thread, which idles until Start arms it. The dialog calls it during its
    // initialisation; Start calls it when nobody has. Later calls do nothing.
    void LaunchLink();

    void SetSettings(const Settings& settings);  // takes effect at the next Start
    const Settings& GetSettings() const { return m_settings; }

    // Configures and launches the ARP agent (first: the injector copies its virtual MAC), arms
    // the link in the TCP modes, then creates and launches the forwarder and the injector.
    // False, starting nothing, without an adapter, with a virtual MAC that is not a valid
    // individual address (the reason goes to standard error), or while running.
    bool Start();
    // Stops and joins the injector, the forwarder and the ARP agent, in this order, deletes the
    // two packet workers and resets the link to idle. Nothing when not running.
    void Stop();
    bool IsRunning() const { return m_running; }

    // Bytes since the last take; 0 while stopped.
    int TakeForwardedBytes();  // LAN to tunnel
    int TakeInjectedBytes();   // tunnel to LAN

    void SetRespond(bool respond);  // at once, also while running
    // The LAN card as the workers find it while running (up while stopped). The owner's timer
    // reads it to say on the status line that the card is away, and why it could not be opened.
    CLanCard::State GetCardState() const {
        return m_running ? m_lanCard.Get() : CLanCard::State::kUp;
    }
    // The running workers, for the owner's status and for tests and traces (their atomic
    // read-outs only); null while stopped.
    const CLanToTunnel* Forwarder() const { return m_lanToTunnel.get(); }
    const CTunnelToLan* Injector() const { return m_tunnelToLan.get(); }
    CTcpLink& Link() { return m_link; }
    CArpAgent& ArpAgent() { return *m_arpAgent; }
    // Sealed: the running channel (null while stopped or unsealed), for tests and traces.
    const seal::CSealedChannel* SealedChannel() const { return m_channel.get(); }
    // Sealed: why nothing is carried, as the status line's sentence, or "" when nothing is
    // wrong (or unsealed). Each problem also goes to standard error, once per Start. Polled by
    // the owner (the dialog's timer).
    std::string PollSealProblem();
    // The engine's part of a status snapshot (every field but site and sentence): settings,
    // counters since Start, the neighbour list the injector last published, the sealed
    // channel's handshakes. Reads only atomics and short-held copies; the owner's thread.
    void FillStatus(TunnelStatus& out) const;
    // UDP mode's status sentence while running: "Using UDP mode." as designed; sealed, where the
    // other end is when it is not where the settings say, or that this end waits for it to make
    // contact (an end with tunnel address 0.0.0.0). Polled by the owner.
    std::string UdpStatus() const;
    // UDP mode: the other end as the workers see it (null while stopped or in TCP mode); for
    // tests and traces.
    const CUdpPeer* UdpPeer() const { return m_udpPeer.get(); }

  private:
    // Stops, joins and deletes the injector, then the forwarder, if they exist.
    void EndPacketWorkers();
    // FillStatus's parts for a running tunnel: the packet workers' counts and drops; the
    // neighbour table and its drops; the sealed channel's handshakes and drops.
    void FillCounts(TunnelStatus& out) const;
    void FillNeighbours(TunnelStatus& out) const;
    void FillSeal(TunnelStatus& out) const;

    Settings m_settings;
    bool m_running = false;
    // Shared with the ARP agent and the forwarder, which report to it from their threads.
    // Declared before them, so it outlives both.
    CLanCard m_lanCard;
    bool m_linkLaunched = false;
    std::unique_ptr<CArpAgent> m_arpAgent;
    CTcpLink m_link;
    std::unique_ptr<CLanToTunnel> m_lanToTunnel;  // only between Start and Stop
    std::unique_ptr<CTunnelToLan> m_tunnelToLan;  // only between Start and Stop
    // Only between Start and Stop, and only with a key; the link holds a copy while armed.
    std::shared_ptr<seal::CSealedChannel> m_channel;
    CSealMonitor m_sealMonitor;
    // UDP mode, only between Start and Stop: the socket both workers use and where they send.
    // Both go at Stop once the workers have been joined, the peer (which uses the socket) first.
    std::unique_ptr<CTunnelSocket> m_tunnelSocket;
    std::unique_ptr<CUdpPeer> m_udpPeer;
    std::uint32_t m_connectionsAtStart = 0;  // the link's generation when Start ran
    std::chrono::steady_clock::time_point m_startedAt{};
};
