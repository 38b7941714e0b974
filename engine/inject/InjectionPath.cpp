#include "engine/inject/InjectionPath.h"

#include <algorithm>
#include <cstring>

#include "engine/arp/ArpPort.h"
#include "platform/PcapCompat.h"
#include "platform/Trace.h"

namespace {

// Injected frame, every mode:
//   0-5 destination MAC (Resolve of the packet's IPv4 destination), 6-11 the virtual MAC,
//   12-13 08 00 (IPv4), 14.. the packet as it travelled.
constexpr int kDestinationMac = 0;
constexpr int kTemplate = 6;  // virtual MAC and type: 8 bytes
constexpr int kTemplateSize = 8;
constexpr int kIpDestination = 30;  // frame bytes 30-33
constexpr int kRequestsPerTake = 16;

}  // namespace

CInjectionPath::CInjectionPath(CArpPort& lan)
    : m_lan(lan), m_neighbours(lan.Neighbours()), m_header{} {
    std::memcpy(m_header + kTemplate, m_lan.GetVirtualMac(), 6);
    m_header[12] = 0x08;
    m_header[13] = 0x00;
}

void CInjectionPath::SetSubnets(std::uint32_t thisAddress, std::uint32_t thisMask,
                                std::uint32_t otherAddress, std::uint32_t otherMask,
                                std::uint32_t virtualAddress) {
    m_filter.Configure(thisAddress, thisMask, otherAddress, otherMask, virtualAddress);
    m_neighbours.Configure(thisAddress, thisMask, virtualAddress);
}

void CInjectionPath::Begin() {
    const int mtu = m_adapter != nullptr ? platform::InterfaceMtu(m_adapter->name) : 0;
    m_mtu.store(mtu, std::memory_order_relaxed);
    m_packetLimit = mtu > 0 ? mtu : wire::kMaxAcceptedLength;
    if (mtu > 0 &&
        (!m_segmenter || m_segmenter->Mtu() != std::min(mtu, CSegmenter::kMaxIpPacket))) {
        m_segmenter = std::make_unique<CSegmenter>(mtu);
    }
    OpenFrameSender();
}

void CInjectionPath::End() {
    m_frameSender.Close();  // anything queued was sent by the step that queued it
}

CInjectionPath::Injected CInjectionPath::Inject(std::uint8_t* frame, int frameLength) {
    Injected injected;
    const int packetLength = frameLength - wire::kEthernetHeaderSize;
    const CInjectFilter::Verdict verdict =
        m_filter.Check(frame + wire::kEthernetHeaderSize, packetLength);
    if (verdict != CInjectFilter::Verdict::kPass) {
        m_rejected.fetch_add(1, std::memory_order_relaxed);
        m_counters.Rejected(verdict == CInjectFilter::Verdict::kDestinationOutside ||
                            verdict == CInjectFilter::Verdict::kSourceOutside);
        Trace("Dropped a %d byte packet from the tunnel: %s\n", packetLength,
              CInjectFilter::Describe(verdict));
        injected.rejected = true;
        return injected;
    }
    std::memcpy(frame + kTemplate, m_header + kTemplate, kTemplateSize);
    std::uint32_t destination;  // network order, as in the packet
    std::memcpy(&destination, frame + kIpDestination, sizeof destination);
    const CNeighbourTable::Answer answer =
        m_neighbours.Table().Lookup(destination, frame, frameLength, CNeighbourTable::Clock::now());
    if (answer.action == CNeighbourTable::Action::kQueued) injected.queued = true;
    if (answer.action == CNeighbourTable::Action::kSend) {
        std::memcpy(frame + kDestinationMac, answer.mac, 6);
        injected.resolved = true;
        Deliver(frame, frameLength, injected);
    }
    Count(injected, packetLength, true);
    return injected;
}

void CInjectionPath::Count(const Injected& injected, int packetLength, bool arrived) {
    if (injected.frames > 0) m_counters.Delivered(packetLength);  // on the LAN, cut or whole
    int counted;
    if (!m_countOnArrival) {
        counted = injected.packetBytes + injected.frames * wire::kEthernetHeaderSize;
    } else if (!arrived || injected.rejected) {
        counted = 0;
    } else {
        counted = injected.resolved ? injected.packetBytes : packetLength;
    }
    if (counted != 0) m_byteCount.fetch_add(counted, std::memory_order_relaxed);
}

void CInjectionPath::Deliver(std::uint8_t* frame, int frameLength, Injected& injected) {
    const int packetLength = frameLength - wire::kEthernetHeaderSize;
    // The card came back (a new interface, perhaps): the socket follows the agent's handles.
    if (m_lan.GetCardEpoch() != m_senderEpoch) {
        SendQueued();
        OpenFrameSender();
    }
    if (packetLength <= m_packetLimit) {
        bool queued = m_frameSender.IsOpen() && m_frameSender.Add(frame, frameLength);
        if (!queued && m_frameSender.IsOpen()) {
            // A full batch goes first; that send may find the card gone and close the sender.
            SendQueued();
            queued = m_frameSender.IsOpen() && m_frameSender.Add(frame, frameLength);
        }
        // Without our own sender the agent sends; it refuses (sending nothing) once its capture
        // is closed, and the result is not acted on.
        if (!queued) m_lan.SendFrame(frame, frameLength);
        injected.frames = 1;
        injected.packetBytes = packetLength;
        return;
    }
    SendQueued();  // what came before leaves first
    // Too long for the LAN: each segment goes out behind the header, which the segmenter keeps
    // in the headroom in front of it (a segment handed back unchanged has the frame's own).
    const std::uint8_t* packet = frame + wire::kEthernetHeaderSize;
    if (m_segmenter->Begin(packet, packetLength, frame) == CSegmenter::Action::kDrop) {
        Trace("Dropped a %d byte packet that cannot be cut\n", packetLength);
        return;
    }
    for (CSegmenter::Segment segment; m_segmenter->Next(segment);) {
        m_lan.SendFrame(segment.packet - CSegmenter::kHeadroom,
                        CSegmenter::kHeadroom + segment.length);
        ++injected.frames;
        injected.packetBytes += segment.length;
    }
}

void CInjectionPath::ServiceNeighbours() {
    const bool learned = m_neighbours.HasLearned();
    CNeighbourTable& table = m_neighbours.Table();
    const CNeighbourTable::TimePoint now = CNeighbourTable::Clock::now();
    m_neighbours.Publish(now);
    if (learned) {
        const int count = m_neighbours.TakeLearned(m_learned);
        for (int i = 0; i < count; ++i) {
            const CNeighbourResolver::Learned& heard = m_learned[i];
            for (const CNeighbourTable::Pending& pending :
                 table.OnArp(heard.address, heard.mac, now)) {
                Injected injected;
                Deliver(pending.frame, pending.length, injected);
                Count(injected, pending.length - wire::kEthernetHeaderSize, false);
            }
            SendQueued();  // the waiting frames' bytes are the table's until its next call
        }
    }
    CNeighbourTable::Request requests[kRequestsPerTake];
    for (;;) {
        const int count = table.TakeDue(now, requests, kRequestsPerTake);
        for (int i = 0; i < count; ++i) {
            const CNeighbourTable::Request& request = requests[i];
            m_lan.SendRequest(request.address, request.unicast ? request.mac : nullptr);
        }
        if (count < kRequestsPerTake) break;
    }
}

void CInjectionPath::OpenFrameSender() {
    m_senderEpoch = m_lan.GetCardEpoch();
    // Without it (no adapter, no privileges, the card away) every frame goes through the agent.
    if (m_adapter == nullptr || !m_frameSender.Open(m_adapter->name)) m_frameSender.Close();
}

void CInjectionPath::SendQueued() {
    if (m_frameSender.Queued() == 0) return;
    bool gone = false;
    m_frameSender.Send(&gone);  // a failed frame is not acted on, as with the agent's send
    if (gone) m_frameSender.Close();
}
