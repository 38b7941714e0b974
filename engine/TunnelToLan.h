// Carries traffic from the tunnel onto this end's LAN: receives packets (TCP records from the
// link, or UDP fragments on a socket of its own bound to the listen port), puts an Ethernet
// header in front (destination resolved by the ARP agent, source the virtual MAC, type IPv4)
// and injects the frame through the ARP agent.
// Owned by the tunnel's owner: created at Start after the ARP agent is configured (it copies the
// virtual MAC then), launched, and stopped and joined at Stop before the ARP agent. SetTcpLink
// runs on the owner's thread before Launch; TakeByteCount on the owner's thread at any time;
// everything else on the injector's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/WireFormat.h"
#include "engine/WorkerThread.h"
#include "platform/Sockets.h"

class CArpAgent;
class CTcpLink;

class CTunnelToLan : public CWorkerThread {
  public:
    CTunnelToLan(int listenPort, CArpAgent* arpAgent);  // the agent is not owned
    ~CTunnelToLan() override;

    void SetTcpLink(CTcpLink* link);  // not owned; switches to TCP mode

    unsigned Run() override;
    // Waits up to 250 ms for a datagram: 1 ready, 0 not (a failed wait closes the socket).
    int WaitDatagram();
    int TakeByteCount();

  private:
    static constexpr int kReadinessWaitMs = 250;
    // Pause after a UDP socket that could not be created or bound, so a taken port is tried
    // four times a second rather than in a busy loop; also the bound on a stop request there.
    static constexpr int kBindRetryMs = 250;

    void TcpStep();
    void UdpStep();
    // Recover on the link, unless the failure belongs to a connection already replaced.
    void RecoverConnection();
    bool BindUdp();
    void CloseUdp();
    // Writes the Ethernet header in front of the packet at frame byte 14 and injects the frame;
    // false when the destination does not resolve (or the capture has gone).
    bool Inject(std::uint8_t* frame, int frameLength);

    int m_listenPort;
    bool m_udpBound = false;                     // the injector's thread
    SOCKET m_udpSocket = INVALID_SOCKET;         // the injector's thread
    std::unique_ptr<std::uint8_t[]> m_datagram;  // 1500 bytes: one received datagram
    // Bytes 0-13 the Ethernet header (6-13 the template: virtual MAC and type), the packet
    // reassembled from byte 14 on.
    std::unique_ptr<std::uint8_t[]> m_udpFrame;
    CArpAgent* m_arpAgent;  // not owned
    // Added to by the injector, taken (exchange with 0) by the owner's timer: atomic.
    std::atomic<std::int32_t> m_byteCount{0};
    CTcpLink* m_tcpLink = nullptr;  // not owned; none means UDP mode
    // One record received in place: length at bytes 10-13, packet from byte 14.
    std::unique_ptr<std::uint8_t[]> m_tcpFrame;
    std::uint8_t m_header[14];  // bytes 6-13: the header template (bytes 0-5 per frame)

    // The injector's thread only.
    wire::CRecordReader m_recordReader;
    wire::CFragmentReassembler m_reassembler;
    // The link connection the partial record belongs to; a new connection restarts the record
    // so its bytes never continue one begun on the last connection.
    std::uint32_t m_generation = 0;
    // After a receive that filled what it asked for, more bytes are likely waiting: the next
    // step reads at once and waits for readiness only when a receive finds nothing.
    bool m_tcpMayHaveData = false;
};
