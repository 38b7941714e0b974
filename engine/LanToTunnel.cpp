#include "engine/LanToTunnel.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/WireFormat.h"
#include "link/TcpLink.h"
#include "platform/PcapCompat.h"
#include "platform/Trace.h"

namespace {

constexpr int kSnapLength = 65536;
constexpr int kReadTimeoutMs = 250;
// The capture ring. In immediate mode the library gives every frame a slot as large as the
// snapshot (64 KB on an interface with offloads), so its default 2 MB holds about 30 frames:
// a few hundred microseconds of traffic at 200 Mbit/s, lost whenever this thread is late
// (another thread on the core, a TCP send waiting). 32 MB holds about 480 frames.
constexpr int kCaptureBufferBytes = 32 * 1024 * 1024;
std::uint32_t Word(const std::uint8_t* at) {  // four packet bytes as they stand
    std::uint32_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

}  // namespace

CLanToTunnel::CLanToTunnel(std::uint32_t tunnelAddress, int tunnelPort)
    : m_recordBuffer(new std::uint8_t[wire::kFrameBufferSize]) {
    m_udpSender.Open(tunnelAddress, tunnelPort);  // a failed connect is not acted on
}

CLanToTunnel::~CLanToTunnel() {
    m_recordBuffer.reset();
    m_udpSender.Close();
}

void CLanToTunnel::SetAdapter(pcap_if_t* adapter) {
    m_adapter = adapter;
}

void CLanToTunnel::SetSubnets(std::uint32_t thisAddress, std::uint32_t thisMask,
                              std::uint32_t otherAddress, std::uint32_t otherMask,
                              const char* macText) {
    m_thisNetwork = htonl(thisAddress & thisMask);
    m_thisMask = htonl(thisMask);
    m_otherNetwork = htonl(otherAddress & otherMask);
    m_otherMask = htonl(otherMask);
    std::snprintf(m_macText, sizeof m_macText, "%s", macText != nullptr ? macText : "");
}

void CLanToTunnel::SetTcpLink(CTcpLink* link) {
    m_tcpLink = link;
}

int CLanToTunnel::TakeByteCount() {
    return m_byteCount.exchange(0);
}

bool CLanToTunnel::OpenCapture() {
    char filterText[96];
    std::snprintf(filterText, sizeof filterText, "ether dst %s and ip and not arp", m_macText);
    bool filtered = false;
    // Immediate mode stands in for a minimum copy size of 1 byte: every frame is handed over as
    // soon as it arrives.
    m_capture = platform::OpenFilteredCapture(
        m_adapter, filterText, {kSnapLength, true, kReadTimeoutMs, kCaptureBufferBytes}, &filtered);
    if (m_capture != nullptr && !filtered) {
        // Unfiltered, every frame on the LAN would reach the address tests, the forwarder's own
        // injected ones and other routers' among them.
        std::fprintf(stderr, "\nNothing is forwarded: the capture has no filter.\n");
        pcap_close(m_capture);
        m_capture = nullptr;
    }
    return m_capture != nullptr;
}

bool CLanToTunnel::Passes(const std::uint8_t* frame, std::uint32_t capturedLength) const {
    if (capturedLength < kMinFrame) return false;
    if ((Word(frame + 30) & m_otherMask) != m_otherNetwork) return false;
    if ((Word(frame + 26) & m_thisMask) != m_thisNetwork) return false;
    return true;
}

void CLanToTunnel::Forward(const std::uint8_t* frame, std::uint32_t capturedLength) {
    if (!Passes(frame, capturedLength)) return;
    if (capturedLength > static_cast<std::uint32_t>(kSnapLength)) return;  // never: snapshot
    Trace("We need to route this\n");
    const int length = static_cast<int>(capturedLength) - wire::kEthernetHeaderSize;
    const std::uint8_t* packet = frame + wire::kEthernetHeaderSize;
    if (length > m_packetLimit) {
        // Merged by the adapter or the kernel: the far LAN could not take it as it is.
        ForwardOversize(packet, length);
        return;
    }
    SendPacket(packet, length, nullptr);
}

void CLanToTunnel::ForwardOversize(const std::uint8_t* packet, int length) {
    m_oversize.fetch_add(1, std::memory_order_relaxed);
    if (m_segmenter->Begin(packet, length) == CSegmenter::Action::kDrop) {
        Trace("Dropped a %d byte packet that cannot be cut\n", length);
        return;
    }
    // After a failed send the rest of the packet is lost with it (its sender repeats it).
    for (CSegmenter::Segment segment; m_segmenter->Next(segment);) {
        if (!SendPacket(segment.packet, segment.length, segment.headroom)) break;
    }
}

bool CLanToTunnel::SendPacket(const std::uint8_t* packet, int length, std::uint8_t* headroom) {
    m_byteCount.fetch_add(length, std::memory_order_relaxed);
    if (m_tcpLink == nullptr) {
        m_udpSender.SendFragments(packet, length);  // a failed fragment is not acted on
        return true;
    }
    const std::uint8_t* record;
    if (headroom != nullptr) {
        // The record length goes into the 4 bytes right in front of the segment.
        std::uint8_t* at = headroom + CSegmenter::kHeadroom - wire::kRecordHeaderSize;
        wire::PutRecordLength(at, static_cast<std::uint32_t>(length));
        record = at;
    } else {
        std::uint8_t* buffer = m_recordBuffer.get();
        wire::PutRecordLength(buffer, static_cast<std::uint32_t>(length));
        std::memcpy(buffer + wire::kRecordHeaderSize, packet, static_cast<std::size_t>(length));
        record = buffer;
    }
    // Gives up once this forwarder is asked to stop, so Stop never waits on a peer that takes no
    // data.
    const std::uint32_t generation = m_tcpLink->GetConnectionGeneration();
    int sent = m_tcpLink->SendAll(reinterpret_cast<const char*>(record),
                                  wire::kRecordHeaderSize + length, this);
    // A connection that has replaced the failed one meanwhile is left alone.
    if (sent < 0 && m_tcpLink->GetConnectionGeneration() == generation) m_tcpLink->Recover();
    Trace("Written %d sytes\n", wire::kRecordHeaderSize + length);
    return sent >= 0;
}

unsigned CLanToTunnel::Run() {
    if (!OpenCapture()) return 0;  // ends the thread; standard error says why
    const int mtu = platform::InterfaceMtu(m_adapter->name);
    m_mtu.store(mtu, std::memory_order_relaxed);
    m_packetLimit = mtu > 0 ? mtu : wire::kMaxPacketLength;
    if (!m_segmenter || m_segmenter->Mtu() != std::min(m_packetLimit, CSegmenter::kMaxIpPacket)) {
        m_segmenter = std::make_unique<CSegmenter>(m_packetLimit);
    }
    m_oversize.store(0, std::memory_order_relaxed);
    for (;;) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        int result = platform::NextFrame(m_capture, &header, &data, kReadTimeoutMs);
        if (result < 0) break;
        if (!IsRunning()) break;
        if (result == 0) continue;
        Forward(data, header->caplen);
    }
    pcap_close(m_capture);
    m_capture = nullptr;
    return 0;
}
