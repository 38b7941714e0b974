#include "engine/inject/DatagramReceiver.h"

#include <netinet/udp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/inject/InjectionPath.h"
#include "engine/peer/TunnelSocket.h"
#include "engine/peer/UdpPeer.h"
#include "platform/Thread.h"
#include "platform/Trace.h"
#include "platform/WorkerThread.h"

namespace {

constexpr int kReadinessWaitMs = 250;
// Pause after a UDP socket that could not be created or bound, so a taken port is tried four
// times a second rather than in a busy loop; also the bound on a stop request there.
constexpr int kBindRetryMs = 250;
// A receive buffer: the largest UDP payload, so that a run of datagrams kept together by the
// kernel is never cut short.
constexpr int kReceiveBufferBytes = 65536;
// The reassembly arena: a batch's packets side by side, plus room for a largest one.
constexpr int kArenaBytes = 256 * 1024 + wire::kFrameBufferSize;
// How often a sealed receiver lets the other end start a due handshake or keep-alive.
constexpr auto kTickPeriod = std::chrono::milliseconds(500);

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

}  // namespace

CDatagramReceiver::CDatagramReceiver(CTunnelSocket& socket, CUdpPeer* sealedPeer,
                                     CInjectionPath& path, CWorkerThread& thread)
    : m_tunnelSocket(socket),
      m_path(path),
      m_thread(thread),
      m_datagrams(
          new std::uint8_t[static_cast<std::size_t>(kReceiveBatch) * kReceiveBufferBytes]()),
      m_receiveParts{},
      m_receiveMessages{},
      m_arena(new std::uint8_t[kArenaBytes]()),
      m_reassembler(m_arena.get()),
      m_sealed(sealedPeer) {
    for (int i = 0; i < kReceiveBatch; ++i) {
        m_receiveParts[i] = {m_datagrams.get() + static_cast<std::size_t>(i) * kReceiveBufferBytes,
                             static_cast<std::size_t>(kReceiveBufferBytes)};
        m_receiveMessages[i].msg_hdr.msg_iov = &m_receiveParts[i];
        m_receiveMessages[i].msg_hdr.msg_iovlen = 1;
        m_receiveMessages[i].msg_hdr.msg_control = m_receiveControl[i].bytes;
        m_receiveMessages[i].msg_hdr.msg_name = &m_sources[i];
    }
}

CDatagramReceiver::~CDatagramReceiver() = default;

bool CDatagramReceiver::Bind() {
    m_socket = m_tunnelSocket.Bind();  // the forwarder may have bound it already
    m_bound = m_socket != INVALID_SOCKET;
    return m_bound;
}

void CDatagramReceiver::Release() {
    // Only let go: the forwarder sends from the same socket, and its owner closes it.
    m_socket = INVALID_SOCKET;
    m_bound = false;
}

int CDatagramReceiver::WaitDatagram() {
    int result = platform::WaitReadableOrWoken(m_socket, m_path.WakeHandle(), kReadinessWaitMs);
    if (result == 0) return 0;
    if (result == SOCKET_ERROR) {
        Release();  // the next step takes it again
        return 0;
    }
    return result;
}

void CDatagramReceiver::Step() {
    if (!m_bound && !Bind()) {
        Sleep(kBindRetryMs);
        return;
    }
    // The datagrams already queued are read at once, many per call; the readiness wait (the
    // step's bound) runs only when none is there.
    if (m_sealed != nullptr) Tick();
    int count = ReceiveDatagrams();
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        m_path.ServiceNeighbours();  // a request for a packet just queued goes out before the wait
        if (WaitDatagram() == 0) return;
        count = ReceiveDatagrams();
    }
    if (count < 0) return;  // a failed receive: nothing was copied
    for (int i = 0; i < count && m_thread.IsRunning(); ++i) {
        const mmsghdr& message = m_receiveMessages[i];
        std::uint8_t* received =
            m_datagrams.get() + static_cast<std::size_t>(i) * kReceiveBufferBytes;
        const int length = static_cast<int>(message.msg_len);
        // A datagram longer than a receiver reads counts as cut short, as it always has.
        const bool truncated = (message.msg_hdr.msg_flags & MSG_TRUNC) != 0;
        const int segment = SegmentSize(message.msg_hdr);
        if (segment <= 0 || segment >= length || truncated) {
            AcceptReceived(m_sources[i], received, length,
                           truncated || length > wire::kMaxDatagram);
            continue;
        }
        // A run of datagrams of `segment` bytes each (the last one shorter or equal).
        m_receivedRuns.fetch_add(1, std::memory_order_relaxed);
        for (int at = 0; at < length; at += segment) {
            // A run's datagrams share their source.
            AcceptReceived(m_sources[i], received + at, std::min(segment, length - at),
                           segment > wire::kMaxDatagram);
        }
    }
    m_path.SendQueued();
    if (m_reassembler.ExpectedIndex() == 0) {
        // Between packets: the arena starts over.
        m_arenaCursor = 0;
        m_reassembler.Rebase(m_arena.get());
    }
}

int CDatagramReceiver::ReceiveDatagrams() {
    for (mmsghdr& message : m_receiveMessages) {
        message.msg_hdr.msg_controllen = sizeof(ReceiveControl::bytes);  // the kernel's to shorten
        message.msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
    return ::recvmmsg(m_socket, m_receiveMessages, kReceiveBatch, MSG_DONTWAIT, nullptr);
}

void CDatagramReceiver::AcceptReceived(const sockaddr_in& source, std::uint8_t* datagram,
                                       int length, bool truncated) {
    if (m_sealed != nullptr) {
        // Sealed: nothing reaches the reassembler unless it authenticated; no sealed datagram is
        // empty or cut short, so a stranger's never disturbs reassembly.
        if (length == 0 || truncated) return;
        length = m_sealed->Open(source, datagram, length);
        if (length < 0) return;
        datagram += seal::kDataHeaderSize;
    }
    AcceptDatagram(datagram, length, truncated);
}

void CDatagramReceiver::AcceptDatagram(const std::uint8_t* datagram, int length, bool truncated) {
    if (length == 0 || truncated) {
        // No fragment, or one cut short: lost like a missing fragment, so the packet in
        // progress is abandoned (an empty datagram resets the expected index).
        m_path.Counters().badFragment.Add();
        m_reassembler.Accept(datagram, 0);
        return;
    }
    switch (m_reassembler.Accept(datagram, length)) {
        case wire::CFragmentReassembler::Result::kDropped:
            m_path.Counters().badFragment.Add();
            break;
        case wire::CFragmentReassembler::Result::kPartial:
            Trace("BIG PACKET\n");  // the reassembly's trace line: more fragments to come
            break;
        case wire::CFragmentReassembler::Result::kComplete: {
            const int frameLength = m_reassembler.FrameLength();
            m_path.Inject(m_arena.get() + m_arenaCursor, frameLength);
            // The next packet goes behind this one (aligned), or, when a largest one would not
            // fit there, at the start once the queued frames are out.
            m_arenaCursor += (frameLength + 15) & ~15;
            if (m_arenaCursor + wire::kFrameBufferSize > kArenaBytes) {
                m_path.SendQueued();
                m_arenaCursor = 0;
            }
            m_reassembler.Rebase(m_arena.get() + m_arenaCursor);
            break;
        }
    }
}

void CDatagramReceiver::Tick() {
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastTick < kTickPeriod) return;
    m_lastTick = now;
    m_sealed->Tick();
}
