#include "engine/inject/TunnelToLan.h"

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/TunnelSocket.h"
#include "engine/UdpPeer.h"
#include "engine/arp/ArpAgent.h"
#include "link/TcpLink.h"
#include "platform/PcapCompat.h"
#include "platform/Thread.h"
#include "platform/Trace.h"
#include "seal/SealedChannel.h"

namespace {

// Injected frame, both modes:
//   0-5 destination MAC (Resolve of the packet's IPv4 destination), 6-11 the virtual MAC,
//   12-13 08 00 (IPv4), 14.. the packet as it travelled.
constexpr int kDestinationMac = 0;
constexpr int kTemplate = 6;  // virtual MAC and type: 8 bytes
constexpr int kTemplateSize = 8;
constexpr int kIpDestination = 30;  // frame bytes 30-33
// Receive buffer of the UDP socket: datagrams queue here while this thread waits for the CPU. At
// 200 Mbit/s the system default (about 200 KB, some 90 datagrams counted with their overhead)
// overflows within a few milliseconds; 8 MB covers about 100 ms.
constexpr int kUdpReceiveBufferBytes = 8 * 1024 * 1024;
// A receive buffer: the largest UDP payload, so that a run of datagrams kept together by the
// kernel is never cut short.
constexpr int kReceiveBufferBytes = 65536;

// The size of the datagrams a receive buffer holds when the kernel kept a run of them together
// (its receive-offload control message), else 0: the buffer is one datagram.
int SegmentSize(const msghdr& header) {
    for (const cmsghdr* control = CMSG_FIRSTHDR(&header); control != nullptr;
         control = CMSG_NXTHDR(const_cast<msghdr*>(&header), const_cast<cmsghdr*>(control))) {
        if (control->cmsg_level == SOL_UDP && control->cmsg_type == UDP_GRO &&
            control->cmsg_len >= CMSG_LEN(sizeof(int))) {
            int size;
            std::memcpy(&size, CMSG_DATA(control), sizeof size);
            return size;
        }
    }
    return 0;
}

// The reassembly arena: a batch's packets side by side, plus room for a largest one.
constexpr int kArenaBytes = 256 * 1024 + wire::kFrameBufferSize;
// What one receive of the TCP stream may bring: about 170 records of 1504 bytes.
constexpr int kRecordStreamBytes = 256 * 1024;

}  // namespace

CTunnelToLan::CTunnelToLan(int listenPort, CArpAgent* arpAgent)
    : CWorkerThread("injector"),
      m_listenPort(listenPort),
      m_datagrams(
          new std::uint8_t[static_cast<std::size_t>(kReceiveBatch) * kReceiveBufferBytes]()),
      m_receiveParts{},
      m_receiveMessages{},
      m_arena(new std::uint8_t[kArenaBytes]()),
      m_arpAgent(arpAgent),
      m_neighbours(arpAgent->Neighbours()),
      m_header{},
      m_records(kRecordStreamBytes),
      m_reassembler(m_arena.get()) {
    for (int i = 0; i < kReceiveBatch; ++i) {
        m_receiveParts[i] = {m_datagrams.get() + static_cast<std::size_t>(i) * kReceiveBufferBytes,
                             static_cast<std::size_t>(kReceiveBufferBytes)};
        m_receiveMessages[i].msg_hdr.msg_iov = &m_receiveParts[i];
        m_receiveMessages[i].msg_hdr.msg_iovlen = 1;
        m_receiveMessages[i].msg_hdr.msg_control = m_receiveControl[i].bytes;
        m_receiveMessages[i].msg_hdr.msg_name = &m_sources[i];
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

void CTunnelToLan::SetSubnets(std::uint32_t thisAddress, std::uint32_t thisMask,
                              std::uint32_t otherAddress, std::uint32_t otherMask,
                              std::uint32_t virtualAddress) {
    m_filter.Configure(thisAddress, thisMask, otherAddress, otherMask, virtualAddress);
    m_neighbours.Configure(thisAddress, thisMask, virtualAddress);
}

void CTunnelToLan::SetSealedChannel(seal::CSealedChannel* channel, std::uint32_t peerAddress,
                                    int peerPort) {
    m_channel = channel;
    m_peer = sockaddr_in{};
    m_peer.sin_family = AF_INET;
    m_peer.sin_addr.s_addr = htonl(peerAddress);
    m_peer.sin_port = htons(static_cast<std::uint16_t>(peerPort));
    if (channel != nullptr && !m_sealedReader) {
        m_sealedReader = std::make_unique<seal::CSealedStreamReader>(kRecordStreamBytes);
    }
}

void CTunnelToLan::SetUdpPeer(CTunnelSocket* socket, CUdpPeer* peer) {
    m_tunnelSocket = socket;
    m_udpPeer = peer;
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
    if (m_sealedReader) m_sealedReader->Restart();
    m_generation = m_tcpLink != nullptr ? m_tcpLink->GetConnectionGeneration() : 0;
    m_tcpMayHaveData = false;
    OpenFrameSender();
    while (IsRunning()) {
        ServiceNeighbours();
        if (m_tcpLink != nullptr && m_channel != nullptr) {
            SealedTcpStep();
        } else if (m_tcpLink != nullptr) {
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
    const CNeighbourTable::Answer answer =
        m_neighbours.Table().Lookup(destination, frame, frameLength, CNeighbourTable::Clock::now());
    if (answer.action == CNeighbourTable::Action::kQueued) injected.queued = true;
    if (answer.action != CNeighbourTable::Action::kSend) return injected;
    std::memcpy(frame + kDestinationMac, answer.mac, 6);
    injected.resolved = true;
    Deliver(frame, frameLength, injected);
    return injected;
}

void CTunnelToLan::Deliver(std::uint8_t* frame, int frameLength, Injected& injected) {
    const int packetLength = frameLength - wire::kEthernetHeaderSize;
    // The card came back (a new interface, perhaps): the socket follows the agent's handles.
    if (m_arpAgent->GetCardEpoch() != m_senderEpoch) {
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
        if (!queued) m_arpAgent->SendFrame(frame, frameLength);
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
        m_arpAgent->SendFrame(segment.packet - CSegmenter::kHeadroom,
                              CSegmenter::kHeadroom + segment.length);
        ++injected.frames;
        injected.packetBytes += segment.length;
    }
}

void CTunnelToLan::ServiceNeighbours() {
    const bool learned = m_neighbours.HasLearned();
    CNeighbourTable& table = m_neighbours.Table();
    const CNeighbourTable::TimePoint now = CNeighbourTable::Clock::now();
    if (learned) {
        const int count = m_neighbours.TakeLearned(m_learned);
        for (int i = 0; i < count; ++i) {
            const CNeighbourResolver::Learned& heard = m_learned[i];
            for (const CNeighbourTable::Pending& pending :
                 table.OnArp(heard.address, heard.mac, now)) {
                Injected injected;
                Deliver(pending.frame, pending.length, injected);
                // TCP counted the packet as it arrived; UDP counts frames once injected.
                if (m_tcpLink == nullptr) {
                    m_byteCount.fetch_add(
                        injected.packetBytes + injected.frames * wire::kEthernetHeaderSize,
                        std::memory_order_relaxed);
                }
            }
            SendQueued();  // the waiting frames' bytes are the table's until its next call
        }
    }
    CNeighbourTable::Request requests[16];
    for (;;) {
        const int count = table.TakeDue(now, requests, 16);
        for (int i = 0; i < count; ++i) {
            const CNeighbourTable::Request& request = requests[i];
            m_arpAgent->SendRequest(request.address, request.unicast ? request.mac : nullptr);
        }
        if (count < 16) break;
    }
}

void CTunnelToLan::OpenFrameSender() {
    m_senderEpoch = m_arpAgent->GetCardEpoch();
    // Without it (no adapter, no privileges, the card away) every frame goes through the agent.
    if (m_adapter == nullptr || !m_frameSender.Open(m_adapter->name)) m_frameSender.Close();
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
                // what went onto the LAN, a packet the filter kept off nothing.
                const int counted =
                    injected.rejected ? 0
                                      : (injected.resolved ? injected.packetBytes : packet.length);
                m_byteCount.fetch_add(counted, std::memory_order_relaxed);
                if (injected.resolved) Trace("Break here to check it.\n");
                if (!IsRunning()) return;
                continue;
            }
        }
        break;
    }

    if (!m_tcpMayHaveData) {
        ServiceNeighbours();  // a request for a packet just queued goes out before the wait
        if (!m_tcpLink->WaitReadable(m_neighbours.WakeHandle())) return;
    }
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

void CTunnelToLan::SealedTcpStep() {
    std::uint32_t generation = m_tcpLink->GetConnectionGeneration();
    if (generation != m_generation) {
        m_sealedReader->Restart();
        m_generation = generation;
        m_tcpMayHaveData = false;
    }
    // Frames already buffered go first, each opened where it landed; their frames wait in the
    // sender's batch until the receive below needs the buffer again. A stop request is looked
    // at between them.
    for (;;) {
        seal::CSealedStreamReader::Message message;
        const seal::CSealedStreamReader::Event event = m_sealedReader->Next(message);
        if (event == seal::CSealedStreamReader::Event::kNeedMore) break;
        if (event == seal::CSealedStreamReader::Event::kBadFrame) {
            if (m_sealedReader->LooksUnsealed()) {
                m_unsealedFrames.fetch_add(1, std::memory_order_relaxed);
            }
            SendQueued();
            m_tcpMayHaveData = false;
            RecoverConnection();
            return;
        }
        if (!OpenStreamMessage(message.bytes, message.length)) {
            SendQueued();
            m_sealedReader->Restart();
            m_tcpMayHaveData = false;
            RecoverConnection();
            return;
        }
        if (!IsRunning()) {
            SendQueued();
            return;
        }
    }
    SendQueued();               // the frames queued above live in the buffer that moves now
    m_sealedReader->Compact();  // handed-out messages may be written over from here on

    if (!m_tcpMayHaveData) {
        ServiceNeighbours();  // a request for a packet just queued goes out before the wait
        if (!m_tcpLink->WaitReadable(m_neighbours.WakeHandle())) return;
    }
    m_tcpMayHaveData = false;
    // As many bytes as the socket holds and the buffer takes: many frames in one call.
    const int wanted = m_sealedReader->SpaceSize();
    const int result =
        m_tcpLink->Receive(reinterpret_cast<char*>(m_sealedReader->Space()), wanted, m_generation);
    if (result == 0) return;
    if (result < 0) {
        m_sealedReader->Restart();
        RecoverConnection();
        return;
    }
    m_sealedReader->Commit(result);
    m_tcpMayHaveData = result == wanted;
}

seal::CSealedChannel::Received CTunnelToLan::OpenSealed(std::uint8_t* message, int length,
                                                        std::uint8_t*& out) {
    // A data message is opened in place, within its own bytes (the next message of a stream or
    // of a run of datagrams lies right behind it); a handshake's reply goes to a buffer of its
    // own, being longer than the message it answers.
    const bool data = length > 0 && message[0] == seal::kTypeData;
    out = data ? message + seal::kDataHeaderSize : m_handshakeReply;
    const int capacity = data ? length - seal::kDataHeaderSize : sizeof m_handshakeReply;
    return m_channel->Receive(message, length, out, capacity);
}

bool CTunnelToLan::OpenStreamMessage(std::uint8_t* message, int length) {
    // The plaintext lands 16 bytes into the message, so the frame to inject (Ethernet header in
    // the 14 bytes in front of the packet) starts 2 bytes into it, over its own header and never
    // over the frame before, which may still be queued.
    std::uint8_t* out;
    const seal::CSealedChannel::Received received = OpenSealed(message, length, out);
    switch (received.kind) {
        case seal::CSealedChannel::Received::Kind::kDropped:
            // Never parsed, never injected: a stream carries nothing that may fail, so the
            // connection is recovered as after a bad length. A crossing rekey is only ignored.
            if (received.drop == seal::CSealedChannel::Drop::kCrossing) return true;
            Trace("Sealed frame dropped (%d)\n", static_cast<int>(received.drop));
            return false;
        case seal::CSealedChannel::Received::Kind::kReply:
            SendQueued();  // the reply may wait for the link's send turn: nothing waits with it
            m_tcpLink->SendAll(reinterpret_cast<const char*>(out), received.length, this);
            return true;
        case seal::CSealedChannel::Received::Kind::kData:
            break;
    }
    if (received.length == 0) {
        Trace("Keep Alive\n");
        return true;
    }
    std::uint8_t* frame = out - wire::kEthernetHeaderSize;
    const Injected injected = Inject(frame, wire::kEthernetHeaderSize + received.length);
    // Counted as in TcpStep: a packet the filter kept off nothing.
    const int counted =
        injected.rejected ? 0 : (injected.resolved ? injected.packetBytes : received.length);
    m_byteCount.fetch_add(counted, std::memory_order_relaxed);
    return true;
}

int CTunnelToLan::OpenDatagram(std::uint8_t* datagram, int length) {
    if (m_udpPeer != nullptr) return m_udpPeer->Open(*m_source, datagram, length);
    std::uint8_t* out;
    const seal::CSealedChannel::Received received = OpenSealed(datagram, length, out);
    switch (received.kind) {
        case seal::CSealedChannel::Received::Kind::kData:
            // An empty one only confirms a handshake: nothing for the reassembler.
            return received.length > 0 ? received.length : -1;
        case seal::CSealedChannel::Received::Kind::kReply:
            SendToPeer(out, received.length);
            return -1;
        case seal::CSealedChannel::Received::Kind::kDropped:
            break;
    }
    return -1;
}

void CTunnelToLan::TickUdp() {
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastTick < std::chrono::milliseconds(500)) return;
    m_lastTick = now;
    if (m_udpPeer != nullptr) return m_udpPeer->Tick();  // handshakes and keep-alives
    std::uint8_t initiation[seal::CSealedChannel::kHandshakeRoom];
    const seal::CSealedChannel::TickResult tick = m_channel->Tick(initiation, sizeof initiation);
    if (tick.length > 0) SendToPeer(initiation, tick.length);
}

void CTunnelToLan::SendToPeer(const std::uint8_t* message, int length) {
    // From the listen socket to the other end's listen port; a lost message is retried by the
    // channel's own timers.
    ::sendto(m_udpSocket, message, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT,
             reinterpret_cast<const sockaddr*>(&m_peer), sizeof m_peer);
}

bool CTunnelToLan::BindUdp() {
    if (m_tunnelSocket != nullptr) {  // the engine's socket, which the forwarder sends from
        m_udpSocket = m_tunnelSocket->Bind();
        m_udpBound = m_udpSocket != INVALID_SOCKET;
        return m_udpBound;
    }
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
    // Receive offload: a peer's segmented send arrives as one buffer, cut here rather than by
    // the kernel. Without it (an older kernel) every datagram arrives on its own, as before.
    int receiveOffload = 1;
    ::setsockopt(m_udpSocket, SOL_UDP, UDP_GRO, &receiveOffload, sizeof receiveOffload);
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
    // The engine's socket stays open until both workers have ended: the next step takes it again.
    if (m_udpSocket != INVALID_SOCKET && m_tunnelSocket == nullptr) closesocket(m_udpSocket);
    m_udpSocket = INVALID_SOCKET;
    m_udpBound = false;
}

int CTunnelToLan::WaitDatagram() {
    int result =
        platform::WaitReadableOrWoken(m_udpSocket, m_neighbours.WakeHandle(), kReadinessWaitMs);
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
    if (m_channel != nullptr) TickUdp();
    int count = ReceiveDatagrams();
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        ServiceNeighbours();  // a request for a packet just queued goes out before the wait
        if (WaitDatagram() == 0) return;
        count = ReceiveDatagrams();
    }
    if (count < 0) return;  // a failed receive: nothing was copied
    for (int i = 0; i < count && IsRunning(); ++i) {
        const mmsghdr& message = m_receiveMessages[i];
        std::uint8_t* received =
            m_datagrams.get() + static_cast<std::size_t>(i) * kReceiveBufferBytes;
        m_source = &m_sources[i];  // a run's datagrams share their source
        const int length = static_cast<int>(message.msg_len);
        // A datagram longer than a receiver reads counts as cut short, as it always has.
        const bool truncated = (message.msg_hdr.msg_flags & MSG_TRUNC) != 0;
        const int segment = SegmentSize(message.msg_hdr);
        if (segment <= 0 || segment >= length || truncated) {
            AcceptReceived(received, length, truncated || length > wire::kMaxDatagram);
            continue;
        }
        // A run of datagrams of `segment` bytes each (the last one shorter or equal).
        m_receivedRuns.fetch_add(1, std::memory_order_relaxed);
        for (int at = 0; at < length; at += segment) {
            AcceptReceived(received + at, std::min(segment, length - at),
                           segment > wire::kMaxDatagram);
        }
    }
    SendQueued();
    if (m_reassembler.ExpectedIndex() == 0) {
        // Between packets: the arena starts over.
        m_arenaCursor = 0;
        m_reassembler.Rebase(m_arena.get());
    }
}

int CTunnelToLan::ReceiveDatagrams() {
    for (mmsghdr& message : m_receiveMessages) {
        message.msg_hdr.msg_controllen = sizeof(ReceiveControl::bytes);  // the kernel's to shorten
        message.msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
    return ::recvmmsg(m_udpSocket, m_receiveMessages, kReceiveBatch, MSG_DONTWAIT, nullptr);
}

void CTunnelToLan::AcceptReceived(std::uint8_t* datagram, int length, bool truncated) {
    if (m_channel != nullptr) {
        // Sealed: nothing reaches the reassembler unless it authenticated; no sealed datagram is
        // empty or cut short, so a stranger's never disturbs reassembly.
        if (length == 0 || truncated) return;
        length = OpenDatagram(datagram, length);
        if (length < 0) return;
        datagram += seal::kDataHeaderSize;
    }
    AcceptDatagram(datagram, length, truncated);
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
