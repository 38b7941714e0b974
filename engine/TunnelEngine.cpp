#include "engine/TunnelEngine.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "engine/arp/ArpAgent.h"
#include "engine/arp/MacAddress.h"
#include "engine/forward/LanToTunnel.h"
#include "engine/inject/TunnelToLan.h"
#include "engine/wire/TunnelMode.h"

CTunnelEngine::CTunnelEngine() : m_arpAgent(std::make_unique<CArpAgent>()) {}

CTunnelEngine::~CTunnelEngine() {
    // The packet workers use the link and the agent, so they end first.
    EndPacketWorkers();
    m_link.RequestStop();
    m_link.Join();
    m_arpAgent->RequestStop();
    m_arpAgent->Join();
    m_arpAgent.reset();
}

bool CTunnelEngine::ParseVirtualMac(const std::string& text, CMacAddress& mac) {
    const CMacAddress::Problem problem = mac.Parse(text.c_str());
    if (problem == CMacAddress::Problem::kNone) return true;
    std::fprintf(stderr, "\nThe virtual MAC address \"%s\" %s: the tunnel is not started.\n",
                 text.c_str(), CMacAddress::Describe(problem));
    return false;
}

void CTunnelEngine::LaunchLink() {
    if (m_linkLaunched) return;
    m_linkLaunched = true;
    m_link.Launch();
}

void CTunnelEngine::SetSettings(const Settings& settings) {
    m_settings = settings;
}

bool CTunnelEngine::Start() {
    if (m_running || m_settings.adapter == nullptr) return false;
    const Settings& s = m_settings;
    // Read once: the ARP answers and the forwarder's filter use this one value. Without a valid
    // one the forwarder could not filter, so nothing starts.
    CMacAddress virtualMac;
    if (!ParseVirtualMac(s.virtualMac, virtualMac)) return false;
    LaunchLink();

    m_lanCard.ResetAll();
    // The injector copies the virtual MAC when it is created: the agent is configured first.
    m_arpAgent->SetRespond(s.respond);
    m_arpAgent->SetVirtualRouter(s.virtualAddress, virtualMac.Bytes());
    m_arpAgent->SetAdapter(s.adapter);
    m_arpAgent->SetLanCard(&m_lanCard);
    m_arpAgent->Launch();

    const bool tcp = s.mode != Mode::kUdp;
    if (s.key.IsSet()) {
        m_channel = std::make_shared<seal::CSealedChannel>(
            s.key,
            tcp ? seal::CSealedChannel::Mode::kStream : seal::CSealedChannel::Mode::kDatagram,
            seal::CSealClock::System(), s.sealTimings);
        m_sealMonitor.Reset();
        m_connectionsAtStart = m_link.GetConnectionGeneration();
    }
    // Before arming: the link's first connection already begins a handshake.
    if (tcp) m_link.SetSealedChannel(m_channel);
    if (s.mode == Mode::kTcpInitiator) {
        m_link.ArmInitiator(s.tunnelAddress, s.tunnelPort);
    } else if (s.mode == Mode::kTcpListener) {
        m_link.ArmListener(s.listenPort);
    }

    const wire::TunnelMode mode = wire::MakeTunnelMode(tcp, m_channel != nullptr);
    CTcpLink* const link = tcp ? &m_link : nullptr;
    if (!tcp) {
        m_tunnelSocket = std::make_unique<CTunnelSocket>(s.listenPort);
        m_udpPeer = std::make_unique<CUdpPeer>(s.tunnelAddress, s.tunnelPort, *m_tunnelSocket,
                                               m_channel.get(), seal::CSealClock::System(),
                                               s.sealTimings.keepAliveAfterNs);
    }
    m_lanToTunnel = std::make_unique<CLanToTunnel>(s.tunnelAddress, s.tunnelPort);
    if (!tcp) m_lanToTunnel->SetUdpPeer(m_tunnelSocket.get(), m_udpPeer.get());
    m_lanToTunnel->SetAdapter(s.adapter);
    m_lanToTunnel->SetSubnets(s.thisSubnet, s.thisMask, s.otherSubnet, s.otherMask, virtualMac);
    m_lanToTunnel->SetTunnel(mode, link, m_channel.get());
    m_lanToTunnel->SetLanCard(&m_lanCard);
    m_lanToTunnel->Launch();

    CTunnelToLan::Tunnel tunnel;
    tunnel.mode = mode;
    tunnel.link = link;
    tunnel.channel = m_channel.get();
    tunnel.socket = m_tunnelSocket.get();
    tunnel.udpPeer = m_udpPeer.get();
    m_arpAgent->Neighbours().BeginRun();  // no injector runs yet
    m_tunnelToLan = std::make_unique<CTunnelToLan>(*m_arpAgent, tunnel);
    m_tunnelToLan->SetAdapter(s.adapter);  // its MTU bounds the frames injected
    m_tunnelToLan->SetSubnets(s.thisSubnet, s.thisMask, s.otherSubnet, s.otherMask,
                              s.virtualAddress);
    m_tunnelToLan->Launch();

    m_startedAt = std::chrono::steady_clock::now();
    m_running = true;
    return true;
}

void CTunnelEngine::Stop() {
    if (!m_running) return;
    m_running = false;
    EndPacketWorkers();
    // The ARP agent stays, with the neighbours it has learnt, for the next Start.
    m_arpAgent->RequestStop();
    m_arpAgent->Join();
    m_link.Reset();     // its thread keeps running, idle; lets go of the channel
    m_udpPeer.reset();  // both workers have ended: nobody sends on the socket any more
    m_tunnelSocket.reset();
    m_channel.reset();
}

std::string CTunnelEngine::PollSealProblem() {
    if (!m_channel || !m_tunnelToLan) return std::string();
    const seal::CSealedChannel::Stats stats = m_channel->GetStats();
    CSealMonitor::Counts counts;
    counts.handshakes = stats.handshakes;
    counts.opened = stats.opened;
    counts.notSealed = stats.notSealed + m_tunnelToLan->GetUnsealedFrames();
    counts.authFailures = stats.authFailures;
    if (m_udpPeer) {
        // Only what came from the other end's address tells of its key: a stranger's datagrams
        // are counted by the channel, and shown nowhere else.
        counts.notSealed = m_udpPeer->PeerUnsealed();
        counts.authFailures = m_udpPeer->PeerHandshakeFailures();
    }
    counts.sessionUp = m_channel->HasUsableSession();
    counts.nowNs = seal::CSealClock::System().MonotonicNs();
    counts.connections =
        m_settings.mode == Mode::kUdp ? 0 : m_link.GetConnectionGeneration() - m_connectionsAtStart;
    const CSealMonitor::Problem problem = m_sealMonitor.Poll(counts);
    const char* sentence = CSealMonitor::Sentence(problem);
    if (m_sealMonitor.FirstReport(problem)) std::fprintf(stderr, "Vantrell: %s.\n", sentence);
    return sentence;
}

std::string CTunnelEngine::UdpStatus() const {
    static const std::string kPlain = "Using UDP mode.";
    if (!m_udpPeer || !m_channel) return kPlain;
    const CPeerEndpoint& endpoint = m_udpPeer->Endpoint();
    if (endpoint.Learning())
        return "Using UDP mode, sealed: waiting for the other end to make contact.";
    CPeerEndpoint::Address at;
    if (!endpoint.Moved() || !endpoint.Current(at)) return kPlain;
    return "Using UDP mode. The other end sends from " + CUdpPeer::Text(at) + ".";
}

void CTunnelEngine::EndPacketWorkers() {
    // Each one ends before the next is touched; the injector ends before the agent's thread
    // closes the capture it injects through.
    if (m_tunnelToLan) {
        m_tunnelToLan->RequestStop();
        m_tunnelToLan->Join();
        m_tunnelToLan.reset();
    }
    if (m_lanToTunnel) {
        m_lanToTunnel->RequestStop();
        m_lanToTunnel->Join();
        m_lanToTunnel.reset();
    }
}

int CTunnelEngine::TakeForwardedBytes() {
    return m_lanToTunnel ? m_lanToTunnel->TakeByteCount() : 0;
}

int CTunnelEngine::TakeInjectedBytes() {
    return m_tunnelToLan ? m_tunnelToLan->TakeByteCount() : 0;
}

void CTunnelEngine::SetRespond(bool respond) {
    m_settings.respond = respond;
    m_arpAgent->SetRespond(respond);
}

namespace {

const char* CardStateName(CLanCard::State state) {
    switch (state) {
        case CLanCard::State::kUp:
            return "up";
        case CLanCard::State::kLost:
            return "lost";
        case CLanCard::State::kNoPrivileges:
            return "no_privileges";
        case CLanCard::State::kNoSuchCard:
            return "no_such_card";
        case CLanCard::State::kDown:
            return "down";
        case CLanCard::State::kNotOpened:
            break;
    }
    return "not_opened";
}

const char* NeighbourStateName(CNeighbourTable::State state) {
    switch (state) {
        case CNeighbourTable::State::kIncomplete:
            return "incomplete";
        case CNeighbourTable::State::kReachable:
            return "reachable";
        case CNeighbourTable::State::kProbe:
            return "probe";
        case CNeighbourTable::State::kFailed:
            return "failed";
        case CNeighbourTable::State::kUnknown:
            break;
    }
    return "unknown";
}

}  // namespace

void CTunnelEngine::FillStatus(TunnelStatus& out) const {
    const Settings& s = m_settings;
    out.running = m_running;
    out.mode = s.mode == Mode::kUdp           ? "udp"
               : s.mode == Mode::kTcpListener ? "tcp_listener"
                                              : "tcp_initiator";
    out.sealed = s.key.IsSet();
    out.peerAddress = s.tunnelAddress;
    out.peerPort = s.tunnelPort;
    // A sealed UDP end sends where the other end was last heard from, which may have moved.
    CPeerEndpoint::Address at;
    if (m_udpPeer && m_channel && m_udpPeer->Endpoint().Current(at)) {
        out.peerAddress = at.ip;
        out.peerPort = at.port;
    }
    out.listenPort = s.listenPort;
    out.card = s.adapter != nullptr && s.adapter->name != nullptr ? s.adapter->name : "";
    out.cardState = CardStateName(GetCardState());
    const auto now = std::chrono::steady_clock::now();
    out.uptimeSeconds =
        m_running ? std::chrono::duration_cast<std::chrono::seconds>(now - m_startedAt).count() : 0;
    out.txPackets = out.txBytes = out.rxPackets = out.rxBytes = 0;
    for (std::uint64_t& dropped : out.dropped) dropped = 0;
    out.neighbours.clear();
    out.handshakeSecondsAgo = -1;
    out.rekeys = 0;
    if (!m_running) return;
    FillCounts(out);
    FillNeighbours(out);
    FillSeal(out);
}

// The packet workers' counters, each read as one relaxed load.
void CTunnelEngine::FillCounts(TunnelStatus& out) const {
    if (m_lanToTunnel) {
        const ForwarderCounters& c = m_lanToTunnel->Counters();
        out.txPackets = c.packets.Get();
        out.txBytes = c.bytes.Get();
        out.dropped[kDropOutsideSubnets] += c.outsideSubnets.Get();
        out.dropped[kDropCaptureOverflow] = c.captureDropped.Get();
    }
    if (m_tunnelToLan) {
        const InjectorCounters& c = m_tunnelToLan->Counters();
        out.rxPackets = c.packets.Get();
        out.rxBytes = c.bytes.Get();
        out.dropped[kDropOutsideSubnets] += c.outsideSubnets.Get();
        out.dropped[kDropInjectorRefused] = c.refused.Get();
        out.dropped[kDropBadFragment] = c.badFragment.Get();
        out.dropped[kDropBadRecordLength] = c.badRecordLength.Get();
    }
}

void CTunnelEngine::FillNeighbours(TunnelStatus& out) const {
    // About 12 KB: made on the owner's thread, once per snapshot, never on the packet path.
    auto published = std::make_unique<CNeighbourResolver::Published>();
    m_arpAgent->Neighbours().ReadPublished(*published);
    out.dropped[kDropNoArpAnswer] = published->noAnswer;
    out.dropped[kDropNeighbourQueueFull] = published->queueFull;
    const auto steadyNow = CNeighbourTable::Clock::now();
    for (int i = 0; i < published->count; ++i) {
        const CNeighbourTable::Listed& e = published->entries[i];
        NeighbourStatus n;
        n.address = ntohl(e.address);
        std::memcpy(n.mac, e.mac, 6);
        n.state = NeighbourStateName(e.state);
        if (e.confirmed != CNeighbourTable::TimePoint{}) {
            n.confirmedSecondsAgo =
                std::chrono::duration_cast<std::chrono::seconds>(steadyNow - e.confirmed).count();
        }
        out.neighbours.push_back(n);
    }
}

void CTunnelEngine::FillSeal(TunnelStatus& out) const {
    if (m_channel) {
        // The channel's lock, held by the packet threads for short steps only, as for
        // PollSealProblem.
        const seal::CSealedChannel::Stats stats = m_channel->GetStats();
        out.dropped[kDropAuthFailed] = stats.authFailures;
        out.dropped[kDropReplayed] = stats.replays;
        out.rekeys = stats.handshakes > 0 ? stats.handshakes - 1 : 0;
        if (stats.lastHandshakeNs != 0) {
            const std::uint64_t nowNs = seal::CSealClock::System().MonotonicNs();
            out.handshakeSecondsAgo =
                static_cast<std::int64_t>((nowNs - stats.lastHandshakeNs) / 1'000'000'000u);
        }
    }
}
