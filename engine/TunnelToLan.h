// Carries traffic from the tunnel onto this end's LAN: receives packets (TCP records from the
// link, or UDP fragments on a socket of its own bound to the listen port), puts an Ethernet
// header in front (destination resolved by the ARP agent, source the virtual MAC, type IPv4)
// and injects the frame through the ARP agent.
// A packet too long for the LAN's MTU (from a peer that does not cut merged packets) is cut to
// fit and injected as several frames.
// Owned by CTunnelEngine: created at Start after the ARP agent is configured (it copies the
// virtual MAC then), launched, and stopped and joined at Stop before the ARP agent. SetTcpLink
// and SetAdapter run on the owner's thread before Launch; TakeByteCount on the owner's thread at
// any time; everything else on the injector's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/RecordStream.h"
#include "engine/Segmenter.h"
#include "engine/WireFormat.h"
#include "platform/PacketBatchSender.h"
#include "platform/Pcap.h"
#include "platform/Sockets.h"
#include "platform/WorkerThread.h"

class CArpAgent;
class CTcpLink;

class CTunnelToLan : public CWorkerThread {
  public:
    CTunnelToLan(int listenPort, CArpAgent* arpAgent);  // the agent is not owned
    ~CTunnelToLan() override;

    void SetTcpLink(CTcpLink* link);  // not owned; switches to TCP mode
    // The adapter the ARP agent injects on (not owned; outlives the run): its MTU, read when Run
    // starts, is the longest packet injected whole. Without it (or when the MTU cannot be
    // read) every packet is injected as it came.
    void SetAdapter(pcap_if_t* adapter);

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

  private:
    static constexpr int kReadinessWaitMs = 250;
    // Datagrams taken from the socket by one receive call.
    static constexpr int kReceiveBatch = CPacketBatchSender::kMaxFrames;
    // Pause after a UDP socket that could not be created or bound, so a taken port is tried
    // four times a second rather than in a busy loop; also the bound on a stop request there.
    static constexpr int kBindRetryMs = 250;

    void TcpStep();
    void UdpStep();
    // Recover on the link, unless the failure belongs to a connection already replaced.
    void RecoverConnection();
    bool BindUdp();
    void CloseUdp();
    // What one Inject put on the LAN.
    struct Injected {
        bool resolved = false;  // the destination answered (frames may still be 0)
        int frames = 0;         // frames handed to the ARP agent's capture
        int packetBytes = 0;    // their IP bytes (Ethernet headers not counted)
    };
    // Writes the Ethernet header in front of the packet at frame byte 14 and injects the frame,
    // or, for a packet longer than the MTU, each of its segments behind a copy of the header.
    // A whole frame is queued on the frame sender when it is open: its bytes must stay put until
    // SendQueued. Frames queued before a segmented packet leave ahead of its segments.
    Injected Inject(std::uint8_t* frame, int frameLength);
    // Sends the frames Inject queued, in one call.
    void SendQueued();
    // One datagram taken from the receive batch into the reassembler; a completed packet is
    // injected (queued) from the arena and the next one begins behind it.
    void AcceptDatagram(const std::uint8_t* datagram, int length, bool truncated);

    int m_listenPort;
    bool m_udpBound = false;              // the injector's thread
    SOCKET m_udpSocket = INVALID_SOCKET;  // the injector's thread
    // kReceiveBatch datagrams of 1500 bytes, filled by one recvmmsg; the injector's thread.
    std::unique_ptr<std::uint8_t[]> m_datagrams;
    iovec m_receiveParts[kReceiveBatch];
    mmsghdr m_receiveMessages[kReceiveBatch];
    // Packets are reassembled one behind the other in this arena, each frame's header in its
    // first 14 bytes, so a receive batch's packets are injected together without a copy. The
    // packet in progress starts at m_arenaCursor; the injector's thread only.
    std::unique_ptr<std::uint8_t[]> m_arena;
    int m_arenaCursor = 0;
    CArpAgent* m_arpAgent;  // not owned
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

    pcap_if_t* m_adapter = nullptr;  // not owned; set before Launch
    // Opened by Run on the adapter; closed when the adapter disappears (frames then go through
    // the ARP agent one by one). The injector's thread only.
    CPacketBatchSender m_frameSender;
    // Read once by Run (injector's thread), read by tests: atomic.
    std::atomic<int> m_mtu{0};
    // The injector's thread only: packets longer than this are cut (no limit without an MTU).
    int m_packetLimit = wire::kMaxAcceptedLength;
    // Created by Run with the MTU, once per run; the injector's thread only.
    std::unique_ptr<CSegmenter> m_segmenter;
};
