// Receives UDP mode's fragments on a socket of its own, bound to the listen port, from any
// sender: many datagrams per receive call (recvmmsg), a run of datagrams that the kernel kept
// together (receive offload) cut here, and each packet reassembled behind the one before in one
// arena, so that a receive batch's packets are injected together without a copy. The socket is
// made lazily by the first step, made anew after a failed wait, and closed by End.
// Sealed (a sealed layer given): nothing reaches the reassembler unless it opened; handshake
// replies and due initiations go to the other end's listen port from this socket.
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
class CSealedOpener;
class CWorkerThread;

class CDatagramReceiver : public CTunnelReceiver {
  public:
    // `path` and `thread` (the injector) are not owned and outlive the receiver.
    CDatagramReceiver(int listenPort, CInjectionPath& path, CWorkerThread& thread);
    ~CDatagramReceiver() override;
    CDatagramReceiver(const CDatagramReceiver&) = delete;
    CDatagramReceiver& operator=(const CDatagramReceiver&) = delete;

    // Sealed mode, before Launch: the layer (not owned; outlives the receiver) and the other
    // end's tunnel address (host order) and port, where handshake messages go.
    void SetSealed(CSealedOpener* sealed, std::uint32_t peerAddress, int peerPort);

    void Begin() override {}
    void Step() override;
    void End() override { Close(); }

    // Waits up to 250 ms for a datagram: 1 ready, 0 not (a failed wait closes the socket).
    int WaitDatagram();
    // Receive buffers that held a run of datagrams kept together by the kernel, since the
    // receiver was made; any thread.
    std::uint32_t GetReceivedRuns() const { return m_receivedRuns.load(std::memory_order_relaxed); }

  private:
    static constexpr int kReceiveBatch = CPacketBatchSender::kMaxFrames;

    bool Bind();
    void Close();
    // recvmmsg into the receive buffers, without waiting; returns as recvmmsg does.
    int ReceiveDatagrams();
    // One received datagram (sealed: opened first) into the reassembler.
    void AcceptReceived(std::uint8_t* datagram, int length, bool truncated);
    // One datagram into the reassembler; a completed packet is injected (queued) from the arena
    // and the next one begins behind it.
    void AcceptDatagram(const std::uint8_t* datagram, int length, bool truncated);
    // Sealed: opens the datagram in place; the plaintext's length at datagram + 16, or -1 when
    // there is nothing for the reassembler (dropped, or a handshake message answered).
    int OpenDatagram(std::uint8_t* datagram, int length);
    // Sealed: lets the channel start a due handshake, at most twice a second.
    void Tick();
    void SendToPeer(const std::uint8_t* message, int length);

    const int m_listenPort;
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
    // Packets are reassembled one behind the other here, each frame's header in its first 14
    // bytes; the packet in progress starts at m_arenaCursor.
    std::unique_ptr<std::uint8_t[]> m_arena;
    int m_arenaCursor = 0;
    wire::CFragmentReassembler m_reassembler;
    // Written by the injector's thread, read by tests: atomic.
    std::atomic<std::uint32_t> m_receivedRuns{0};

    CSealedOpener* m_sealed = nullptr;  // the sealed layer (not owned); none when unsealed
    sockaddr_in m_peer{};
    std::chrono::steady_clock::time_point m_lastTick{};
};
