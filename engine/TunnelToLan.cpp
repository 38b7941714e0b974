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
constexpr int kMinIpPacket = 20;    // a packet shorter than an IPv4 header has no destination
// Receive buffer of the UDP socket: datagrams queue here while this thread waits in Resolve (up
// to 100 ms) or for the CPU. At 200 Mbit/s the system default (about 200 KB, some 90 datagrams
// counted with their overhead) overflows within a few milliseconds; 8 MB covers about 100 ms.
constexpr int kUdpReceiveBufferBytes = 8 * 1024 * 1024;

// The reassembly arena: a batch's packets side by side, plus room for a largest one.
constexpr int kArenaBytes = 256 * 1024 + wire::kFrameBufferSize;
// What one receive of the TCP stream may bring: about 170 records of 1504 bytes.
constexpr int kRecordStreamBytes = 256 * 1024;

}  // namespace

CTunnelToLan::CTunnelToLan(int listenPort, CArpAgent* arpAgent)
    : m_listenPort(listenPort),
      m_datagrams(new std::uint8_t[kReceiveBatch * wire::kMaxDatagram]()),
      m_receiveParts{},
      m_receiveMessages{},
      m_arena(new std::uint8_t[kArenaBytes]()),
      m_arpAgent(arpAgent),
      m_header{},
      m_records(kRecordStreamBytes),
      m_reassembler(m_arena.get()) {
    for (int i = 0; i < kReceiveBatch; ++i) {
        m_receiveParts[i] = {m_datagrams.get() + i * wire::kMaxDatagram,
                             static_cast<std::size_t>(wire::kMaxDatagram)};
        m_receiveMessages[i].msg_hdr.msg_iov = &m_receiveParts[i];
        m_receiveMessages[i].msg_hdr.msg_iovlen = 1;
    }
    std::memcpy(m_header + kTemplate, m_arpAgent->GetVirtualMac(), 6);
    m_header[12] = 0x08;
    m_header[13] = 0x00;
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
    m_records.Restart();
    m_generation = m_tcpLink != nullptr ? m_tcpLink->GetConnectionGeneration() : 0;
    m_tcpMayHaveData = false;
    // Without it (no adapter, no privileges) every frame goes through the ARP agent.
    if (m_adapter == nullptr || !m_frameSender.Open(m_adapter->name)) m_frameSender.Close();
    while (IsRunning()) {
        if (m_tcpLink != nullptr) {
            TcpStep();
        } else {
            UdpStep();
        }
    }
    m_frameSender.Close();  // anything queued was sent by its step
    CloseUdp();
    return 0;
}

CTunnelToLan::Injected CTunnelToLan::Inject(std::uint8_t* frame, int frameLength) {
    Injected injected;
    if (frameLength < wire::kEthernetHeaderSize + kMinIpPacket) return injected;
    std::memcpy(frame + kTemplate, m_header + kTemplate, kTemplateSize);
    std::uint32_t destination;  // network order, as in the packet
    std::memcpy(&destination, frame + kIpDestination, sizeof destination);
    const std::uint8_t* mac = m_arpAgent->Resolve(destination);
    if (mac == nullptr) return injected;
    std::memcpy(frame + kDestinationMac, mac, 6);
    injected.resolved = true;
    const int packetLength = frameLength - wire::kEthernetHeaderSize;
    if (packetLength <= m_packetLimit) {
        if (m_frameSender.IsOpen()) {
            if (!m_frameSender.Add(frame, frameLength)) {
                SendQueued();
                m_frameSender.Add(frame, frameLength);
            }
        } else {
            // The agent refuses (sending nothing) once its capture is closed; the result is not
            // acted on.
            m_arpAgent->SendFrame(frame, frameLength);
        }
        injected.frames = 1;
        injected.packetBytes = packetLength;
        return injected;
    }
    SendQueued();  // what came before leaves first
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

void CTunnelToLan::SendQueued() {
    if (m_frameSender.Queued() == 0) return;
    bool gone = false;
    m_frameSender.Send(&gone);  // a failed frame is not acted on, as with the agent's send
    if (gone) m_frameSender.Close();
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
        m_records.Restart();
        m_generation = generation;
        m_tcpMayHaveData = false;
    }
    // Records already buffered go first; a stop request is looked at between them, so that a
    // long run of unresolved destinations cannot hold the thread.
    for (;;) {
        CRecordStream::Packet packet;
        switch (m_records.Next(packet)) {
            case CRecordStream::Event::kNeedMore:
                break;
            case CRecordStream::Event::kKeepAlive:
                Trace("Keep Alive\n");
                if (!IsRunning()) return;
                continue;
            case CRecordStream::Event::kBadLength:
                // Longer than the frame buffer can hold: no resynchronisation within a
                // connection.
                m_records.Restart();
                m_tcpMayHaveData = false;
                RecoverConnection();
                return;
            case CRecordStream::Event::kPacket: {
                const Injected injected =
                    Inject(packet.frame, wire::kEthernetHeaderSize + packet.length);
                // Out before the next record's header is written over this one's end.
                SendQueued();
                // Counted whether or not the destination resolves; a packet cut to fit counts
                // what went onto the LAN.
                m_byteCount.fetch_add(injected.resolved ? injected.packetBytes : packet.length,
                                      std::memory_order_relaxed);
                if (injected.resolved) Trace("Break here to check it.\n");
                if (!IsRunning()) return;
                continue;
            }
        }
        break;
    }

    if (!m_tcpMayHaveData && !m_tcpLink->WaitReadable()) return;
    m_tcpMayHaveData = false;
    // As many bytes as the socket holds and the buffer takes: many records in one call.
    const int wanted = m_records.SpaceSize();
    const int result =
        m_tcpLink->Receive(reinterpret_cast<char*>(m_records.Space()), wanted, m_generation);
    Trace("%d byte Read returned %d\n", wanted, result);
    if (result == 0) return;
    if (result < 0) {
        m_records.Restart();
        RecoverConnection();
        return;
    }
    m_records.Commit(result);
    // A receive that filled all it asked for leaves more waiting: the next step reads at once.
    m_tcpMayHaveData = result == wanted;
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
    // The datagrams already queued are read at once, many per call; the readiness wait (the
    // step's bound) runs only when none is there.
    int count = ::recvmmsg(m_udpSocket, m_receiveMessages, kReceiveBatch, MSG_DONTWAIT, nullptr);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (WaitDatagram() == 0) return;
        count = ::recvmmsg(m_udpSocket, m_receiveMessages, kReceiveBatch, MSG_DONTWAIT, nullptr);
    }
    if (count < 0) return;  // a failed receive: nothing was copied
    for (int i = 0; i < count && IsRunning(); ++i) {
        const mmsghdr& message = m_receiveMessages[i];
        AcceptDatagram(m_datagrams.get() + i * wire::kMaxDatagram,
                       static_cast<int>(message.msg_len),
                       (message.msg_hdr.msg_flags & MSG_TRUNC) != 0);
    }
    SendQueued();
    if (m_reassembler.ExpectedIndex() == 0) {
        // Between packets: the arena starts over.
        m_arenaCursor = 0;
        m_reassembler.Rebase(m_arena.get());
    }
}

void CTunnelToLan::AcceptDatagram(const std::uint8_t* datagram, int length, bool truncated) {
    if (length == 0 || truncated) {
        // No fragment, or one cut short: lost like a missing fragment, so the packet in
        // progress is abandoned (an empty datagram resets the expected index).
        m_reassembler.Accept(datagram, 0);
        return;
    }
    switch (m_reassembler.Accept(datagram, length)) {
        case wire::CFragmentReassembler::Result::kDropped:
            break;
        case wire::CFragmentReassembler::Result::kPartial:
            Trace("BIG PACKET\n");
            break;
        case wire::CFragmentReassembler::Result::kComplete: {
            const int frameLength = m_reassembler.FrameLength();
            const Injected injected = Inject(m_arena.get() + m_arenaCursor, frameLength);
            m_byteCount.fetch_add(
                injected.packetBytes + injected.frames * wire::kEthernetHeaderSize,
                std::memory_order_relaxed);
            // The next packet goes behind this one (aligned), or, when a largest one would not
            // fit there, at the start once the queued frames are out.
            m_arenaCursor += (frameLength + 15) & ~15;
            if (m_arenaCursor + wire::kFrameBufferSize > kArenaBytes) {
                SendQueued();
                m_arenaCursor = 0;
            }
            m_reassembler.Rebase(m_arena.get() + m_arenaCursor);
            break;
        }
    }
}
