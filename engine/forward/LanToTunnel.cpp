#include "engine/forward/LanToTunnel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/forward/FlowQueue.h"
#include "engine/forward/ForwardBatch.h"
#include "engine/wire/WireFormat.h"
#include "link/TcpLink.h"
#include "platform/PcapCompat.h"
#include "platform/Trace.h"
#include "seal/SealFormat.h"
#include "seal/SealedChannel.h"

namespace {

constexpr int kSnapLength = 65536;
constexpr int kReadTimeoutMs = 250;
// The capture ring, counted in frames. Frames wait there only until the forwarder's next pass,
// which empties it into the flow queue; it is sized for the time this thread may be late
// (another thread on the core, a TCP send waiting): 2048 frames of 1514 bytes are 25 ms at
// 1 Gbit/s. Slots hold a frame of the card's MTU (3 MB in all), and frames merged beyond it
// come whole from a second capture; with 64 KB slots the same ring would take 130 MB.
constexpr int kCaptureFrames = 2048;
// The ring's largest size, reached only where the MTU is unknown and each slot takes 64 KB.
constexpr int kMaxRingBytes = 16 * 1024 * 1024 + 64 * 1024;
// Ethernet header and a VLAN tag's room beyond the MTU, as the library allows for.
constexpr int kFrameOverhead = 18;
// The flow queue: 1024 packets, 12 ms of 1500-byte packets at 1 Gbit/s, as many as a card's
// transmit queue holds by default. Only a busy flow waits that long: a quiet one goes ahead.
// With a quarter of that, a single TCP stream lost one packet in 15 to the full queue and
// carried less (measured: 60,000-75,000 retransmissions in 8 s against 250-2,300). Slots hold a
// packet of the card's MTU (at least 1500 bytes); a packet longer than the largest slot goes out
// behind everything queued, without queueing.
constexpr int kQueuePackets = 1024;
constexpr int kLargestSlot = 9216;
// Packets taken from the queue in one go and sent with one system call. The batch buffer holds
// that many full-size records, and at least one largest record.
constexpr int kBatchFrames = 64;
constexpr int kBatchBytes = 256 * 1024;
constexpr int kBatchDatagrams = 256;

}  // namespace

CLanToTunnel::CLanToTunnel(std::uint32_t tunnelAddress, int tunnelPort)
    : CWorkerThread("forwarder") {
    m_udpSender.Open(tunnelAddress, tunnelPort);  // a failed connect is not acted on
}

CLanToTunnel::~CLanToTunnel() {
    m_batch.reset();
    m_udpSender.Close();
}

void CLanToTunnel::SetAdapter(pcap_if_t* adapter) {
    m_adapter = adapter;
}

void CLanToTunnel::SetSubnets(std::uint32_t thisAddress, std::uint32_t thisMask,
                              std::uint32_t otherAddress, std::uint32_t otherMask,
                              const CMacAddress& mac) {
    m_this = wire::CIpv4Subnet(thisAddress, thisMask);
    m_other = wire::CIpv4Subnet(otherAddress, otherMask);
    std::snprintf(m_macText, sizeof m_macText, "%s", mac.Text());
}

void CLanToTunnel::SetUdpPeer(CTunnelSocket* socket, CUdpPeer* peer) {
    m_udpPeer = peer;
    m_udpSender.Attach(socket, peer);
}

void CLanToTunnel::SetTunnel(wire::TunnelMode mode, CTcpLink* link, seal::CSealedChannel* channel) {
    m_mode = mode;
    m_tcpLink = link;
    m_channel = channel;
}

bool CLanToTunnel::Flush() {
    if (m_mode == wire::TunnelMode::kSealedUdp && m_batch->TakeHandshakeDue() &&
        (m_udpPeer == nullptr || !m_udpPeer->Endpoint().Learning())) {
        // A handshake the seals asked for (first session, rekey, retry) goes ahead of the batch.
        std::uint8_t initiation[seal::CSealedChannel::kHandshakeRoom];
        if (int n = m_channel->Initiate(initiation, sizeof initiation); n > 0) {
            m_udpSender.Send(initiation, n);
        }
    }
    if (m_batch->Empty()) return true;
    if (!wire::IsTcp(m_mode)) {
        // A failed datagram is not acted on.
        m_udpSender.SendSegmented(m_batch->Messages(), m_batch->FirstDatagrams(),
                                  m_batch->MessageCount(), m_batch->Datagrams());
        m_batch->Clear();
        return true;
    }
    // The records go out in one call (sealed: sealed by the link in place once it holds the
    // connection's turn): a keep-alive falls only between batches. Gives up once this forwarder
    // is asked to stop, so Stop never waits on a peer that takes no data.
    const std::uint32_t generation = m_tcpLink->GetConnectionGeneration();
    const int size = m_batch->Size();
    const bool sealed = wire::IsSealed(m_mode);
    const int result =
        sealed ? m_tcpLink->SendSealedFrames(m_batch->MutableBytes(), size, this)
               : m_tcpLink->SendAll(reinterpret_cast<const char*>(m_batch->Bytes()), size, this);
    if (result < 0) m_tcpLink->RecoverConnection(generation);
    if (!sealed) Trace("Written %d sytes\n", size);
    m_batch->Clear();
    return result >= 0;
}

int CLanToTunnel::TakeByteCount() {
    return m_byteCount.exchange(0);
}

CLanToTunnel::Open CLanToTunnel::OpenCapture(int mtu) {
    char filterText[96];
    std::snprintf(filterText, sizeof filterText, "ether dst %s and ip and not arp", m_macText);
    bool filtered = false;
    platform::OpenFailure failure = platform::OpenFailure::kNone;
    char errorText[PCAP_ERRBUF_SIZE];
    const char* name = m_adapter != nullptr ? m_adapter->name : "";
    // Slots of the MTU where it is known; a longer frame arrives cut, and whole from the
    // second capture.
    const int snapLength = mtu > 0 ? std::min(mtu + kFrameOverhead, kSnapLength) : kSnapLength;
    // Immediate mode stands in for a minimum copy size of 1 byte: every frame is handed over as
    // soon as it arrives. Nanosecond stamps let the two captures tell frames apart.
    m_capture = platform::OpenFilteredCapture(
        m_adapter, filterText,
        {snapLength, true, kReadTimeoutMs,
         std::min(platform::CaptureRingBytes(name, snapLength, kCaptureFrames), kMaxRingBytes),
         true},
        &filtered, &failure, errorText);
    if (m_capture == nullptr) {
        m_keeper.OpenFailed(*this, failure, errorText);
        return Open::kCardFailed;
    }
    if (!filtered) {
        // Unfiltered, every frame on the LAN would reach the address tests, the forwarder's own
        // injected ones and other routers' among them.
        std::fprintf(stderr, "\nNothing is forwarded: the capture has no filter.\n");
        pcap_close(m_capture);
        m_capture = nullptr;
        return Open::kUnfiltered;
    }
    if (!m_keeper.Opened(*this)) {  // went down or away meanwhile: closed, tried again
        pcap_close(m_capture);
        m_capture = nullptr;
        return Open::kCardFailed;
    }
    // Opened second, the merged capture comes first in the kernel's list of captures: it holds
    // a frame before the forwarder's capture shows it.
    if (snapLength < kSnapLength && platform::CaptureTakesMergedFrames(name) &&
        !m_merged.Open(m_adapter, filterText, snapLength, errorText) && !m_mergedFailureTold) {
        std::fprintf(stderr, "\nFrames merged beyond the MTU of %s cannot be forwarded: %s\n", name,
                     errorText);
        m_mergedFailureTold = true;
    }
    return Open::kOpened;
}

bool CLanToTunnel::Passes(const std::uint8_t* frame, std::uint32_t capturedLength) const {
    if (capturedLength < kMinFrame) return false;
    return m_other.Holds(wire::CIpv4Subnet::AddressAt(frame + 30)) &&
           m_this.Holds(wire::CIpv4Subnet::AddressAt(frame + 26));
}

void CLanToTunnel::Forward(const std::uint8_t* frame, std::uint32_t capturedLength) {
    if (!Passes(frame, capturedLength)) return m_counters.outsideSubnets.Add();
    if (capturedLength > static_cast<std::uint32_t>(kSnapLength)) return;  // never: snapshot
    Trace("We need to route this\n");
    const int length = static_cast<int>(capturedLength) - wire::kEthernetHeaderSize;
    const std::uint8_t* packet = frame + wire::kEthernetHeaderSize;
    if (length > m_packetLimit) {
        // Merged by the adapter or the kernel: the far LAN could not take it as it is.
        ForwardOversize(packet, length);
        return;
    }
    Enqueue(packet, length);
}

void CLanToTunnel::ForwardOversize(const std::uint8_t* packet, int length) {
    m_oversize.fetch_add(1, std::memory_order_relaxed);
    if (m_segmenter->Begin(packet, length) == CSegmenter::Action::kDrop) {
        Trace("Dropped a %d byte packet that cannot be cut\n", length);
        return;
    }
    for (CSegmenter::Segment segment; m_segmenter->Next(segment);) {
        Enqueue(segment.packet, segment.length);
    }
}

void CLanToTunnel::Enqueue(const std::uint8_t* packet, int length) {
    if (m_queue->Push(packet, length)) return;
    // Longer than a slot (a card with a very large MTU): it leaves behind everything queued, so
    // that no flow's packets change order.
    while (!m_queue->Empty()) SendQueued();
    SendPacket(packet, length);
    Flush();
}

void CLanToTunnel::SendQueued() {
    const std::uint8_t* packet;
    int length;
    for (int i = 0; i < kBatchFrames && m_queue->Pop(packet, length); ++i)
        SendPacket(packet, length);
    Flush();
}

void CLanToTunnel::SendPacket(const std::uint8_t* packet, int length) {
    m_byteCount.fetch_add(length, std::memory_order_relaxed);
    m_counters.Sent(length);
    if (m_batch->Add(packet, length)) return;
    // The batch is full: what it holds leaves first, in order.
    Flush();
    m_batch->Add(packet, length);  // an empty batch takes any packet
}

void CLanToTunnel::OnFrame(u_char* user, const pcap_pkthdr* header, const u_char* data) {
    auto* self = reinterpret_cast<CLanToTunnel*>(user);
    if (header->caplen == header->len) {
        self->Forward(data, header->caplen);
    } else {
        // Merged beyond the slot: forwarded whole from the second capture, in this place.
        self->m_merged.Take(*header, data, &CLanToTunnel::OnWholeFrame, self);
    }
}

void CLanToTunnel::OnWholeFrame(void* user, const std::uint8_t* frame, std::uint32_t length) {
    reinterpret_cast<CLanToTunnel*>(user)->Forward(frame, length);
}

unsigned CLanToTunnel::Run() {
    m_keeper.Begin(m_adapter != nullptr ? m_adapter->name : nullptr);
    m_oversize.store(0, std::memory_order_relaxed);
    m_batch = std::make_unique<CForwardBatch>(
        wire::IsTcp(m_mode) ? CForwardBatch::Form::kRecords : CForwardBatch::Form::kFragments,
        kBatchBytes, kBatchDatagrams, wire::IsSealed(m_mode) ? m_channel : nullptr);
    m_mergedFailureTold = false;
    while (IsRunning()) {
        // Read again at every opening: a card created anew may come back with another MTU.
        const int mtu = platform::InterfaceMtu(m_adapter != nullptr ? m_adapter->name : "");
        const Open opened = OpenCapture(mtu);
        if (opened == Open::kUnfiltered) break;     // ends the thread; standard error says why
        if (opened == Open::kCardFailed) continue;  // the keeper has waited before the next try
        m_mtu.store(mtu, std::memory_order_relaxed);
        m_packetLimit = mtu > 0 ? mtu : wire::kMaxPacketLength;
        if (!m_segmenter ||
            m_segmenter->Mtu() != std::min(m_packetLimit, CSegmenter::kMaxIpPacket)) {
            m_segmenter = std::make_unique<CSegmenter>(m_packetLimit);
        }
        const int slotBytes = std::clamp(m_packetLimit, 1500, kLargestSlot);
        if (!m_queue || m_queue->SlotBytes() != slotBytes) {
            m_queue = std::make_unique<CFlowQueue>(kQueuePackets, slotBytes);
        }
        ReadFrames();
        m_merged.Close();
        pcap_close(m_capture);
        m_capture = nullptr;
    }
    return 0;
}

void CLanToTunnel::ReadFrames() {
    for (;;) {
        // Every frame the ring holds goes into the flow queue, then one batch leaves the queue
        // in one system call; the ring is looked at again between batches, and the wait for the
        // next frame comes only when both are empty.
        int result = platform::DispatchFrames(m_capture, kCaptureFrames, &CLanToTunnel::OnFrame,
                                              reinterpret_cast<u_char*>(this),
                                              m_queue->Empty() ? kReadTimeoutMs : 0);
        SendQueued();
        m_counters.SampleCapture(m_capture);
        if (!IsRunning()) return;
        if (!m_keeper.StillThere(result, m_capture)) {
            // The card is gone, the tunnel is not: what it captured still leaves.
            while (!m_queue->Empty()) SendQueued();
            return;
        }
    }
}
