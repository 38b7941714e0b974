#include "engine/TunnelToLan.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/ArpAgent.h"
#include "link/TcpLink.h"
#include "platform/PcapCompat.h"
#include "platform/Thread.h"
#include "platform/Trace.h"

namespace {

// Injected frame, both modes:
//   0-5 destination MAC (Resolve of the packet's IPv4 destination), 6-11 the virtual MAC,
//   12-13 08 00 (IPv4), 14.. the packet as it travelled.
constexpr int kDestinationMac = 0;
constexpr int kTemplate = 6;  // virtual MAC and type: 8 bytes
constexpr int kTemplateSize = 8;
constexpr int kIpDestination = 30;  // frame bytes 30-33
// Receive buffer of the UDP socket: datagrams queue here while this thread waits in Resolve (up
// to 100 ms) or for the CPU. At 200 Mbit/s the system default (about 200 KB, some 90 datagrams
// counted with their overhead) overflows within a few milliseconds; 8 MB covers about 100 ms.
constexpr int kUdpReceiveBufferBytes = 8 * 1024 * 1024;

unsigned Low32(const void* pointer) {  // how the trace lines show a buffer position
    return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(pointer));
}

}  // namespace

CTunnelToLan::CTunnelToLan(int listenPort, CArpAgent* arpAgent)
    : m_listenPort(listenPort),
      m_datagram(new std::uint8_t[wire::kMaxDatagram]()),
      m_udpFrame(new std::uint8_t[wire::kFrameBufferSize]()),
      m_arpAgent(arpAgent),
      m_tcpFrame(new std::uint8_t[wire::kFrameBufferSize]()),
      m_header{},
      m_recordReader(m_tcpFrame.get()),
      m_reassembler(m_udpFrame.get()) {
    std::memcpy(m_header + kTemplate, m_arpAgent->GetVirtualMac(), 6);
    m_header[12] = 0x08;
    m_header[13] = 0x00;
    std::memcpy(m_udpFrame.get() + kTemplate, m_header + kTemplate, kTemplateSize);
}

CTunnelToLan::~CTunnelToLan() {
    CloseUdp();
}

void CTunnelToLan::SetTcpLink(CTcpLink* link) {
    m_tcpLink = link;
}

void CTunnelToLan::SetAdapter(pcap_if_t* adapter) {
    m_adapter = adapter;
}

void CTunnelToLan::SetSubnets(std::uint32_t thisAddress, std::uint32_t thisMask,
                              std::uint32_t otherAddress, std::uint32_t otherMask,
                              std::uint32_t virtualAddress) {
    m_filter.Configure(thisAddress, thisMask, otherAddress, otherMask, virtualAddress);
}

int CTunnelToLan::TakeByteCount() {
    return m_byteCount.exchange(0);
}

unsigned CTunnelToLan::Run() {
    // Null when no capture will come (the adapter failed, or the agent was stopped): nothing
    // can be injected, so the thread ends at once.
    if (m_arpAgent->WaitForCapture(this) == nullptr) return 0;
    const int mtu = m_adapter != nullptr ? platform::InterfaceMtu(m_adapter->name) : 0;
    m_mtu.store(mtu, std::memory_order_relaxed);
    m_packetLimit = mtu > 0 ? mtu : wire::kMaxAcceptedLength;
    if (mtu > 0 &&
        (!m_segmenter || m_segmenter->Mtu() != std::min(mtu, CSegmenter::kMaxIpPacket))) {
        m_segmenter = std::make_unique<CSegmenter>(mtu);
    }
    m_recordReader.Restart();
    m_generation = m_tcpLink != nullptr ? m_tcpLink->GetConnectionGeneration() : 0;
    m_tcpMayHaveData = false;
    while (IsRunning()) {
        if (m_tcpLink != nullptr) {
            TcpStep();
        } else {
            UdpStep();
        }
    }
    CloseUdp();
    return 0;
}

CTunnelToLan::Injected CTunnelToLan::Inject(std::uint8_t* frame, int frameLength) {
    Injected injected;
    const CInjectFilter::Verdict verdict =
        m_filter.Check(frame + wire::kEthernetHeaderSize, frameLength - wire::kEthernetHeaderSize);
    if (verdict != CInjectFilter::Verdict::kPass) {
        m_rejected.fetch_add(1, std::memory_order_relaxed);
        Trace("Dropped a %d byte packet from the tunnel: %s\n",
              frameLength - wire::kEthernetHeaderSize, CInjectFilter::Describe(verdict));
        injected.rejected = true;
        return injected;
    }
    std::memcpy(frame + kTemplate, m_header + kTemplate, kTemplateSize);
    std::uint32_t destination;  // network order, as in the packet
    std::memcpy(&destination, frame + kIpDestination, sizeof destination);
    const std::uint8_t* mac = m_arpAgent->Resolve(destination);
    if (mac == nullptr) return injected;
    std::memcpy(frame + kDestinationMac, mac, 6);
    injected.resolved = true;
    const int packetLength = frameLength - wire::kEthernetHeaderSize;
    if (packetLength <= m_packetLimit) {
        // The agent refuses (sending nothing) once its capture is closed; the result is not
        // acted on.
        m_arpAgent->SendFrame(frame, frameLength);
        injected.frames = 1;
        injected.packetBytes = packetLength;
        return injected;
    }
    // Too long for the LAN: each segment goes out behind the header, which the segmenter keeps
    // in the headroom in front of it (a segment handed back unchanged has the frame's own).
    const std::uint8_t* packet = frame + wire::kEthernetHeaderSize;
    if (m_segmenter->Begin(packet, packetLength, frame) == CSegmenter::Action::kDrop) {
        Trace("Dropped a %d byte packet that cannot be cut\n", packetLength);
        return injected;
    }
    for (CSegmenter::Segment segment; m_segmenter->Next(segment);) {
        m_arpAgent->SendFrame(segment.packet - CSegmenter::kHeadroom,
                              CSegmenter::kHeadroom + segment.length);
        ++injected.frames;
        injected.packetBytes += segment.length;
    }
    return injected;
}

void CTunnelToLan::RecoverConnection() {
    // The link may already have recovered by itself (Receive met the peer's close) and taken a
    // new connection meanwhile; that one is left alone.
    if (m_tcpLink->GetConnectionGeneration() == m_generation) m_tcpLink->Recover();
}

void CTunnelToLan::TcpStep() {
    std::uint32_t generation = m_tcpLink->GetConnectionGeneration();
    if (generation != m_generation) {
        // A new connection starts at a record boundary, whatever the last one left half read.
        m_recordReader.Restart();
        m_generation = generation;
        m_tcpMayHaveData = false;
    }
    if (!m_tcpMayHaveData && !m_tcpLink->WaitReadable()) return;
    m_tcpMayHaveData = false;

    std::uint8_t* at = m_recordReader.WritePosition();
    const int wanted = m_recordReader.Wanted();
    int result;
    if (m_recordReader.ReadingLength()) {
        Trace("4 byte Read to %X \n", Low32(at));
        result = m_tcpLink->Receive(reinterpret_cast<char*>(at), wanted, m_generation);
        Trace("4 byte Read to %X returned %d\n", Low32(at), result);
    } else {
        result = m_tcpLink->Receive(reinterpret_cast<char*>(at), wanted, m_generation);
        Trace("%d byte Read returned %d\n", wanted, result);
    }
    if (result == 0) return;
    if (result < 0) {
        m_recordReader.Restart();
        RecoverConnection();
        return;
    }
    m_tcpMayHaveData = result == wanted;
    switch (m_recordReader.Advance(result)) {
        case wire::CRecordReader::Event::kNone:
            break;
        case wire::CRecordReader::Event::kKeepAlive:
            Trace("Keep Alive\n");
            break;
        case wire::CRecordReader::Event::kBadLength:
            // Longer than the frame buffer can hold: no resynchronisation within a connection.
            m_tcpMayHaveData = false;
            RecoverConnection();
            break;
        case wire::CRecordReader::Event::kPacket: {
            const int length = static_cast<int>(m_recordReader.PacketLength());
            const Injected injected = Inject(m_tcpFrame.get(), wire::kEthernetHeaderSize + length);
            // Counted whether or not the destination resolves; a packet cut to fit counts what
            // went onto the LAN, a packet the filter kept off nothing.
            const int counted =
                injected.rejected ? 0 : (injected.resolved ? injected.packetBytes : length);
            m_byteCount.fetch_add(counted, std::memory_order_relaxed);
            if (injected.resolved) Trace("Break here to check it.\n");
            break;
        }
    }
}

bool CTunnelToLan::BindUdp() {
    m_udpSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_udpSocket < 0) {
        m_udpSocket = INVALID_SOCKET;
        return false;
    }
    Trace("UDP socket handle <%d>\n", m_udpSocket);
    // Beyond the system's limit when privileged (the capture needs privileges anyway), else up
    // to the limit. A smaller buffer only means more loss under load: not acted on.
    int receiveBuffer = kUdpReceiveBufferBytes;
    if (::setsockopt(m_udpSocket, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer,
                     sizeof receiveBuffer) != 0) {
        ::setsockopt(m_udpSocket, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<std::uint16_t>(m_listenPort));
    int result = ::bind(m_udpSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    Trace("Bind To UDP port returned <%d>\n", result);
    if (result != 0) {
        CloseUdp();
        return false;
    }
    m_udpBound = true;
    return true;
}

void CTunnelToLan::CloseUdp() {
    if (m_udpSocket != INVALID_SOCKET) closesocket(m_udpSocket);
    m_udpSocket = INVALID_SOCKET;
    m_udpBound = false;
}

int CTunnelToLan::WaitDatagram() {
    int result = platform::WaitReadable(m_udpSocket, kReadinessWaitMs);
    if (result == 0) return 0;
    if (result == SOCKET_ERROR) {
        CloseUdp();  // the next step makes a new socket
        return 0;
    }
    return result;
}

void CTunnelToLan::UdpStep() {
    if (!m_udpBound && !BindUdp()) {
        Sleep(kBindRetryMs);
        return;
    }
    // A datagram already queued is read at once; the readiness wait (the step's bound) runs
    // only when none is there. MSG_TRUNC reports a datagram's real length even when it is
    // longer than the buffer.
    const int flags = MSG_DONTWAIT | MSG_TRUNC;
    long length = ::recv(m_udpSocket, m_datagram.get(), wire::kMaxDatagram, flags);
    if (length < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (WaitDatagram() == 0) return;
        length = ::recv(m_udpSocket, m_datagram.get(), wire::kMaxDatagram, flags);
    }
    if (length < 0) return;  // a failed receive: nothing was copied
    if (length == 0 || length > wire::kMaxDatagram) {
        // No fragment, or one cut short: lost like a missing fragment, so the packet in
        // progress is abandoned (an empty datagram resets the expected index).
        m_reassembler.Accept(m_datagram.get(), 0);
        return;
    }
    switch (m_reassembler.Accept(m_datagram.get(), static_cast<int>(length))) {
        case wire::CFragmentReassembler::Result::kDropped:
            break;
        case wire::CFragmentReassembler::Result::kPartial:
            Trace("BIG PACKET\n");
            break;
        case wire::CFragmentReassembler::Result::kComplete: {
            const Injected injected = Inject(m_udpFrame.get(), m_reassembler.FrameLength());
            m_byteCount.fetch_add(
                injected.packetBytes + injected.frames * wire::kEthernetHeaderSize,
                std::memory_order_relaxed);
            break;
        }
    }
}
