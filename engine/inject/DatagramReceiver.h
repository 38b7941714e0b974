// Receives UDP mode's fragments on the tunnel's socket (bound to the listen port, which the
// forwarder sends from), from any sender: many datagrams per receive call (recvmmsg), each with
// its source, a run of datagrams that the kernel kept together (receive offload) cut here, and
// each packet reassembled behind the one before in one arena, so that a receive batch's packets
// are injected together without a copy. The first step takes the socket (binding it if the
// forwarder has not); a failed wait lets go of it until the next step. The socket stays open:
// its owner closes it once both workers have ended.
// Sealed (the other end given): every datagram goes with its source to CUdpPeer, and nothing
// reaches the reassembler unless it opened there; its Tick starts due handshakes and keep-alives.
// Owned by CTunnelToLan in the UDP modes; the injector's thread only, except the counter.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "engine/inject/TunnelReceiver.h"
#include "engine/wire/WireFormat.h"
#include "platform/PacketBatchSender.h"
#include "platform/Sockets.h"

class CInjectionPath;
class CTunnelSocket;
class CUdpPeer;
class CWorkerThread;

class CDatagramReceiver : public CTunnelReceiver {
  public:
    // `sealedPeer` null when unsealed; it, `socket`, `path` and `thread` (the injector) are not
    // owned and outlive the receiver.
    CDatagramReceiver(CTunnelSocket& socket, CUdpPeer* sealedPeer, CInjectionPath& path,
                      CWorkerThread& thread);
    ~CDatagramReceiver() override;
    CDatagramReceiver(const CDatagramReceiver&) = delete;
    CDatagramReceiver& operator=(const CDatagramReceiver&) = delete;

    void Begin() override {}
    void Step() override;
    void End() override { Release(); }

    // Waits up to 250 ms for a datagram: 1 ready, 0 not (a failed wait lets go of the socket).
    int WaitDatagram();
    // Receive buffers that held a run of datagrams kept together by the kernel, since the
    // receiver was made; any thread.
    std::uint32_t GetReceivedRuns() const { return m_receivedRuns.load(std::memory_order_relaxed); }

  private:
    static constexpr int kReceiveBatch = CPacketBatchSender::kMaxFrames;

    bool Bind();
    void Release();  // lets go of the socket (it stays open)
    // recvmmsg into the receive buffers, without waiting; returns as recvmmsg does.
    int ReceiveDatagrams();
    // One received datagram from `source` (sealed: opened first) into the reassembler.
    void AcceptReceived(const sockaddr_in& source, std::uint8_t* datagram, int length,
                        bool truncated);
    // One datagram into the reassembler; a completed packet is injected (queued) from the arena
    // and the next one begins behind it.
    void AcceptDatagram(const std::uint8_t* datagram, int length, bool truncated);
    // Sealed: the other end's Tick (a due handshake or keep-alive), at most twice a second.
    void Tick();

    CTunnelSocket& m_tunnelSocket;
    CInjectionPath& m_path;
    CWorkerThread& m_thread;
    bool m_bound = false;
    SOCKET m_socket = INVALID_SOCKET;
    // kReceiveBatch receive buffers, filled by one recvmmsg. With receive offload a buffer can
    // hold a run of datagrams (a peer's segmented send, or datagrams merged on arrival): each
    // buffer takes a largest run, and its control message says where the datagrams are cut.
    std::unique_ptr<std::uint8_t[]> m_datagrams;
    iovec m_receiveParts[kReceiveBatch];
    mmsghdr m_receiveMessages[kReceiveBatch];
    struct ReceiveControl {
        alignas(cmsghdr) std::uint8_t bytes[CMSG_SPACE(sizeof(int))];
    };
    ReceiveControl m_receiveControl[kReceiveBatch];
    sockaddr_in m_sources[kReceiveBatch] = {};  // where each received datagram came from
    // Packets are reassembled one behind the other here, each frame's header in its first 14
    // bytes; the packet in progress starts at m_arenaCursor.
    std::unique_ptr<std::uint8_t[]> m_arena;
    int m_arenaCursor = 0;
    wire::CFragmentReassembler m_reassembler;
    // Written by the injector's thread, read by tests: atomic.
    std::atomic<std::uint32_t> m_receivedRuns{0};

    CUdpPeer* const m_sealed;  // the other end, sealed (not owned); none when unsealed
    std::chrono::steady_clock::time_point m_lastTick{};
};
