#include "engine/inject/TunnelToLan.h"

#include "engine/arp/ArpPort.h"
#include "engine/inject/DatagramReceiver.h"
#include "engine/inject/RecordFraming.h"
#include "engine/inject/SealedOpener.h"
#include "engine/inject/SealedStreamFraming.h"
#include "engine/inject/StreamReceiver.h"

namespace {

// What one receive of the TCP stream may bring: about 170 records of 1504 bytes.
constexpr int kStreamBytes = 256 * 1024;

}  // namespace

CTunnelToLan::CTunnelToLan(CArpPort& lan, const Tunnel& tunnel)
    : CWorkerThread("injector"), m_lan(lan), m_path(lan) {
    m_path.SetMode(tunnel.mode);
    if (tunnel.mode == wire::TunnelMode::kSealedTcp)
        m_opener = std::make_unique<CSealedOpener>(*tunnel.channel);
    switch (tunnel.mode) {
        case wire::TunnelMode::kTcp:
            m_framing = std::make_unique<CRecordFraming>(kStreamBytes, m_path);
            break;
        case wire::TunnelMode::kSealedTcp: {
            auto framing = std::make_unique<CSealedStreamFraming>(kStreamBytes, *m_opener, m_path,
                                                                  *tunnel.link, *this);
            m_sealedFraming = framing.get();
            m_framing = std::move(framing);
            break;
        }
        case wire::TunnelMode::kUdp:
        case wire::TunnelMode::kSealedUdp:
            m_datagrams = std::make_unique<CDatagramReceiver>(
                *tunnel.socket, wire::IsSealed(tunnel.mode) ? tunnel.udpPeer : nullptr, m_path,
                *this);
            m_receiver = m_datagrams.get();
            return;
    }
    m_stream = std::make_unique<CStreamReceiver>(*tunnel.link, *m_framing, m_path, *this);
    m_receiver = m_stream.get();
}

CTunnelToLan::~CTunnelToLan() = default;

std::uint32_t CTunnelToLan::GetReceivedRuns() const {
    return m_datagrams ? m_datagrams->GetReceivedRuns() : 0;
}

std::uint32_t CTunnelToLan::GetUnsealedFrames() const {
    return m_sealedFraming != nullptr ? m_sealedFraming->GetUnsealedFrames() : 0;
}

unsigned CTunnelToLan::Run() {
    // Null when no capture will come (the adapter failed, or the agent was stopped): nothing
    // can be injected, so the thread ends at once.
    if (m_lan.WaitForCapture(this) == nullptr) return 0;
    m_path.Begin();
    m_receiver->Begin();
    while (IsRunning()) {
        m_path.ServiceNeighbours();
        m_receiver->Step();
    }
    m_path.End();
    m_receiver->End();
    return 0;
}
