// Carries traffic from the tunnel onto this end's LAN: receives packets (TCP records from the
// link, or UDP fragments on a socket of its own bound to the listen port), puts an Ethernet
// header in front (destination from the neighbour resolver, source the virtual MAC, type IPv4)
// and injects the frame in batches on a packet socket of its own (through the ARP agent without
// one). A packet for an address being asked for waits in the resolver's table, never in this
// thread; it goes out as soon as the agent hears the answer, which wakes this thread's waits.
// A packet too long for the LAN's MTU (from a peer that does not cut merged packets) is cut to
// fit and injected as several frames.
// Owned by CTunnelEngine: created at Start after the ARP agent is configured (it copies the
// virtual MAC then), launched, and stopped and joined at Stop before the ARP agent. SetTcpLink
// and SetAdapter run on the owner's thread before Launch; TakeByteCount on the owner's thread at
// any time; everything else on the injector's thread.
// Sealed (a channel set before Launch): every datagram or frame is opened by the channel before
// anything in it is looked at; what fails is dropped and counted, on TCP the connection is
// recovered; handshake replies go back to the peer (docs/sealed-tunnel.md, sections 8 and 9).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "engine/inject/InjectFilter.h"
#include "engine/arp/NeighbourResolver.h"
#include "engine/inject/RecordStream.h"
#include "engine/wire/Segmenter.h"
#include "engine/wire/WireFormat.h"
#include "platform/PacketBatchSender.h"
#include "platform/Pcap.h"
#include "platform/Sockets.h"
#include "platform/WorkerThread.h"
#include "seal/SealedChannel.h"
#include "seal/SealedStreamReader.h"

class CArpAgent;
class CTcpLink;
class CTunnelSocket;
class CUdpPeer;
class CTunnelToLan : public CWorkerThread {
  public:
    CTunnelToLan(int listenPort, CArpAgent* arpAgent);  // the agent is not owned
    ~CTunnelToLan() override;

    void SetTcpLink(CTcpLink* link);  // not owned; switches to TCP mode
    // The adapter the ARP agent injects on (not owned; outlives the run): its MTU, read when Run
    // starts, is the longest packet injected whole. Without it (or when the MTU cannot be
    // read) every packet is injected as it came.
    void SetAdapter(pcap_if_t* adapter);
    // Addresses and masks in host order. Only packets to a host of this end's subnet (not the
    // virtual address) from the other end's subnet go onto the LAN; see CInjectFilter. Also
    // configures the agent's resolver (no injector runs yet).
    void SetSubnets(std::uint32_t thisAddress, std::uint32_t thisMask, std::uint32_t otherAddress,
                    std::uint32_t otherMask, std::uint32_t virtualAddress);
    // Sealed mode: the channel (not owned; outlives the run) and, for UDP, the other end's
    // tunnel address (host order) and port, where handshake messages go.
    void SetSealedChannel(seal::CSealedChannel* channel, std::uint32_t peerAddress, int peerPort);
    // UDP mode: receives on the tunnel's socket, which the forwarder sends from; sealed, every
    // datagram goes to `peer` with its source, which answers handshakes, moves the endpoint and
    // sends keep-alives. Both not owned, outliving the run; set before Launch.
    void SetUdpPeer(CTunnelSocket* socket, CUdpPeer* peer);
    // TCP, sealed: frames whose header was an unsealed record's (a peer without a key).
    std::uint32_t GetUnsealedFrames() const {
        return m_unsealedFrames.load(std::memory_order_relaxed);
    }

    unsigned Run() override;
    // Waits up to 250 ms for a datagram: 1 ready, 0 not (a failed wait closes the socket).
    int WaitDatagram();
    // Bytes put on the LAN since the last take, by mode:
    //  - TCP: a packet's L bytes as it is received, resolved or not; a packet cut to fit the MTU
    //    counts, once resolved, the IP bytes of its segments instead (0 when it cannot be cut).
    //  - UDP: the whole frame (14 + L) once it is injected; a packet cut to fit counts the
    //    frames of its segments (14 + segment each); nothing when it is not injected.
    int TakeByteCount();
    // The MTU read when Run started (0 when unknown); for tests and traces.
    int GetMtu() const { return m_mtu.load(std::memory_order_relaxed); }
    // Receive buffers that held a run of datagrams kept together by the kernel (receive
    // offload), since the thread started; for tests and traces.
    std::uint32_t GetReceivedRuns() const { return m_receivedRuns.load(std::memory_order_relaxed); }
    // Packets from the tunnel that the filter kept off the LAN (never counted as bytes); for
    // tests and traces.
    std::uint32_t GetRejectedCount() const { return m_rejected.load(std::memory_order_relaxed); }

  private:
    static constexpr int kReadinessWaitMs = 250;
    // Datagrams taken from the socket by one receive call.
    static constexpr int kReceiveBatch = CPacketBatchSender::kMaxFrames;
    // Pause after a UDP socket that could not be created or bound, so a taken port is tried
    // four times a second rather than in a busy loop; also the bound on a stop request there.
    static constexpr int kBindRetryMs = 250;

    void TcpStep();
    void SealedTcpStep();
    // Hands one sealed message to the channel; `out` is where its plaintext or reply lies.
    seal::CSealedChannel::Received OpenSealed(std::uint8_t* message, int length,
                                              std::uint8_t*& out);
    // Opens one message of the sealed stream and injects, answers or drops it; false when the
    // connection must be recovered.
    bool OpenStreamMessage(std::uint8_t* message, int length);
    // UDP, sealed: opens the datagram of `length` bytes in place; the plaintext's length at
    // datagram + 16, or -1 when there is nothing for the reassembler (dropped, or a
    // handshake message answered).
    int OpenDatagram(std::uint8_t* datagram, int length);
    // UDP, sealed: lets the channel start a due handshake, at most twice a second.
    void TickUdp();
    void SendToPeer(const std::uint8_t* message, int length);
    void UdpStep();
    // Recover on the link, unless the failure belongs to a connection already replaced.
    void RecoverConnection();
    bool BindUdp();
    void CloseUdp();
    // What one Inject put on the LAN.
    struct Injected {
        bool rejected = false;  // kept off the LAN by the filter
        bool queued = false;    // waits in the resolver for its destination's answer
        bool resolved = false;  // the destination answered (frames may still be 0)
        int frames = 0;         // frames handed to the ARP agent's capture
        int packetBytes = 0;    // their IP bytes (Ethernet headers not counted)
    };
    // Writes the Ethernet header in front of the packet at frame byte 14 and injects the frame,
    // or, for a packet longer than the MTU, each of its segments behind a copy of the header.
    // A whole frame is queued on the frame sender when it is open: its bytes must stay put until
    // SendQueued. Frames queued before a segmented packet leave ahead of its segments.
    Injected Inject(std::uint8_t* frame, int frameLength);
    // The part of Inject after resolution: `frame` carries its whole header.
    void Deliver(std::uint8_t* frame, int frameLength, Injected& injected);
    // Hands what the agent heard to the table, sends the frames that waited for it, and sends the
    // requests and probes that are due. Cheap when there is nothing to do; called before every
    // wait and at every step.
    void ServiceNeighbours();
    // Sends the frames Inject queued, in one call.
    void SendQueued();
    // Opens the frame sender on the card the agent has open now (closed when it cannot).
    void OpenFrameSender();
    // One datagram taken from the receive batch into the reassembler; a completed packet is
    // injected (queued) from the arena and the next one begins behind it.
    void AcceptDatagram(const std::uint8_t* datagram, int length, bool truncated);
    // recvmmsg into the receive buffers, without waiting; returns as recvmmsg does.
    int ReceiveDatagrams();
    // One received datagram (sealed: opened first) into the reassembler.
    void AcceptReceived(std::uint8_t* datagram, int length, bool truncated);

    int m_listenPort;
    bool m_udpBound = false;              // the injector's thread
    SOCKET m_udpSocket = INVALID_SOCKET;  // the injector's thread
    // kReceiveBatch receive buffers, filled by one recvmmsg; the injector's thread. With UDP
    // receive offload a buffer can hold a run of datagrams that the kernel kept together (a
    // peer's segmented send, or datagrams merged on arrival): each buffer takes a largest run,
    // and its control message says where the datagrams in it are cut.
    std::unique_ptr<std::uint8_t[]> m_datagrams;
    iovec m_receiveParts[kReceiveBatch];
    mmsghdr m_receiveMessages[kReceiveBatch];
    struct ReceiveControl {
        alignas(cmsghdr) std::uint8_t bytes[CMSG_SPACE(sizeof(int))];
    };
    ReceiveControl m_receiveControl[kReceiveBatch];
    // Where each received datagram came from, and the one being opened; the injector's thread.
    sockaddr_in m_sources[kReceiveBatch] = {};
    const sockaddr_in* m_source = &m_sources[0];
    CTunnelSocket* m_tunnelSocket = nullptr;  // not owned; set before Launch
    CUdpPeer* m_udpPeer = nullptr;            // not owned; set before Launch
    // Packets are reassembled one behind the other in this arena, each frame's header in its
    // first 14 bytes, so a receive batch's packets are injected together without a copy. The
    // packet in progress starts at m_arenaCursor; the injector's thread only.
    std::unique_ptr<std::uint8_t[]> m_arena;
    int m_arenaCursor = 0;
    CArpAgent* m_arpAgent;  // not owned
    // The agent's; its table is this thread's while Run runs (see CNeighbourResolver).
    CNeighbourResolver& m_neighbours;
    CNeighbourResolver::Learned m_learned[CNeighbourResolver::kMailbox];  // this thread only
    // Added to by the injector, taken (exchange with 0) by the owner's timer: atomic.
    std::atomic<std::int32_t> m_byteCount{0};
    CTcpLink* m_tcpLink = nullptr;  // not owned; none means UDP mode
    std::uint8_t m_header[14];      // bytes 6-13: the header template (bytes 0-5 per frame)

    // The injector's thread only.
    // The TCP stream's records, many per receive, each packet injected where it landed.
    CRecordStream m_records;
    wire::CFragmentReassembler m_reassembler;
    // The link connection the partial record belongs to; a new connection restarts the record
    // so its bytes never continue one begun on the last connection.
    std::uint32_t m_generation = 0;
    // After a receive that filled what it asked for, more bytes are likely waiting: the next
    // step reads at once and waits for readiness only when a receive finds nothing.
    bool m_tcpMayHaveData = false;

    // Sealed mode; set before Launch, then the injector's thread only (the channel itself is
    // thread-safe).
    seal::CSealedChannel* m_channel = nullptr;  // not owned
    sockaddr_in m_peer{};
    // TCP: the stream's frames, many per receive, each opened and injected where it landed.
    std::unique_ptr<seal::CSealedStreamReader> m_sealedReader;
    std::uint8_t m_handshakeReply[seal::CSealedChannel::kHandshakeRoom];  // a reply's bytes
    std::chrono::steady_clock::time_point m_lastTick{};
    // Added to by the injector, read by the owner: atomic.
    std::atomic<std::uint32_t> m_unsealedFrames{0};

    pcap_if_t* m_adapter = nullptr;  // not owned; set before Launch
    // Opened by Run on the adapter; closed when the adapter disappears (frames then go through
    // the ARP agent one by one). The injector's thread only.
    CPacketBatchSender m_frameSender;
    // The agent's card epoch the frame sender was opened for; the injector's thread only.
    std::uint32_t m_senderEpoch = 0;
    // Read once by Run (injector's thread), read by tests: atomic.
    std::atomic<int> m_mtu{0};
    // Written by the injector's thread, read by tests: atomic.
    std::atomic<std::uint32_t> m_receivedRuns{0};
    // The injector's thread only: packets longer than this are cut (no limit without an MTU).
    int m_packetLimit = wire::kMaxAcceptedLength;
    // Created by Run with the MTU, once per run; the injector's thread only.
    std::unique_ptr<CSegmenter> m_segmenter;
    CInjectFilter m_filter;  // configured before Launch, then the injector's thread only
    // Added to by the injector, read by tests: atomic.
    std::atomic<std::uint32_t> m_rejected{0};
};
