// Carries traffic from this end's LAN into the tunnel: captures, on a capture of its own, the
// IPv4 frames that local hosts address to the virtual MAC, keeps those from this end's subnet
// to the other end's subnet, and sends each packet (the frame less its Ethernet header) as one
// TCP record through the link, or as UDP fragments through its own sender.
// Owned by CTunnelEngine: created at Start, configured, launched, stopped and joined at Stop,
// then deleted. The setters run on the owner's thread before Launch;
// TakeByteCount runs on the owner's thread at any time; everything else on the forwarder's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/arp/MacAddress.h"
#include "engine/card/CardKeeper.h"
#include "engine/forward/FlowQueue.h"
#include "engine/forward/ForwardBatch.h"
#include "engine/forward/MergedCapture.h"
#include "engine/forward/UdpSender.h"
#include "engine/status/TunnelCounters.h"
#include "engine/wire/Ipv4Subnet.h"
#include "engine/wire/Segmenter.h"
#include "engine/wire/TunnelMode.h"
#include "platform/Pcap.h"
#include "platform/WorkerThread.h"

class CTcpLink;
namespace seal {
class CSealedChannel;
}

class CLanToTunnel : public CWorkerThread {
  public:
    // `tunnelAddress` in host order. Opens the UDP sender in every mode.
    CLanToTunnel(std::uint32_t tunnelAddress, int tunnelPort);
    ~CLanToTunnel() override;

    void SetAdapter(pcap_if_t* adapter);  // not owned; outlives the run
    // Addresses and masks in host order; `mac` is the virtual MAC, checked by the owner, whose
    // text goes into the capture filter. Without it the filter cannot be compiled.
    void SetSubnets(std::uint32_t thisAddress, std::uint32_t thisMask, std::uint32_t otherAddress,
                    std::uint32_t otherMask, const CMacAddress& mac);
    // Where the forwarder reports the card's state (not owned; before Launch).
    void SetLanCard(CLanCard* card) { m_keeper.SetCard(card); }
    // How packets travel, before Launch: the link in the TCP modes, the channel in the sealed
    // modes (both not owned; they outlive the run). Sealed, the batch goes out sealed, each UDP
    // fragment sealed into its datagram as it is added, or in TCP mode the records sealed by the
    // link in place and sent with one call.
    void SetTunnel(wire::TunnelMode mode, CTcpLink* link, seal::CSealedChannel* channel);
    // UDP mode: datagrams leave from the tunnel's socket (bound to the listen port) for where the
    // other end is now; an end that learns the other's address sends nothing, handshakes
    // included, until it knows it. Both not owned, outliving the run; set before Launch.
    void SetUdpPeer(CTunnelSocket* socket, CUdpPeer* peer);

    // A card that cannot be opened, or goes away while running, is opened again about twice a
    // second until it is back (or a stop request). A filter that cannot be installed ends the
    // thread (the reason is on standard error): the forwarder never runs unfiltered.
    unsigned Run() override;
    // Bytes handed to the tunnel since the last take: the IP bytes of every packet sent, or of
    // every segment sent for a packet cut to fit the MTU (record lengths, fragment headers and
    // Ethernet headers not counted). A packet that cannot be cut (DF set) is not counted.
    int TakeByteCount();

    // The address tests on one captured frame: true when its IPv4 destination (bytes 30-33)
    // lies in the other end's subnet and its source (bytes 26-29) in this end's. Frames too
    // short to hold both addresses never pass. Pure: no I/O.
    bool Passes(const std::uint8_t* frame, std::uint32_t capturedLength) const;

    // The interface MTU read when the thread started (0 when unknown); for tests and traces.
    int GetMtu() const { return m_mtu.load(std::memory_order_relaxed); }
    // Captured packets longer than that MTU (merged by GRO/LRO) since the thread started; for
    // tests and traces.
    std::uint32_t GetOversizeCount() const { return m_oversize.load(std::memory_order_relaxed); }
    const ForwarderCounters& Counters() const { return m_counters; }  // any thread

  private:
    static constexpr std::uint32_t kMinFrame = 34;  // up to and including the IPv4 destination

    enum class Open { kOpened, kCardFailed, kUnfiltered };
    // Opens the capture with its filter into m_capture, with slots of `mtu` (0: unknown), and
    // the merged capture where the card can merge; no capture is left open unless kOpened.
    Open OpenCapture(int mtu);
    // Forwards until a stop request or the card's loss.
    void ReadFrames();

    // Takes one captured frame into the flow queue.
    void Forward(const std::uint8_t* frame, std::uint32_t capturedLength);
    static void OnFrame(u_char* user, const pcap_pkthdr* header, const u_char* data);
    static void OnWholeFrame(void* user, const std::uint8_t* frame, std::uint32_t length);
    // A packet longer than the MTU: cut by the segmenter, each piece queued as a packet of its
    // own.
    void ForwardOversize(const std::uint8_t* packet, int length);
    void Enqueue(const std::uint8_t* packet, int length);
    // Up to one batch of queued packets into the batch, which then leaves in one call.
    void SendQueued();
    // One packet into the batch, as one record or as its UDP fragments; counts it. A full batch
    // is sent first.
    void SendPacket(const std::uint8_t* packet, int length);
    // Sends what the batch holds in one call (one SendAll, or one sendmmsg) and empties it.
    // False when the TCP send failed.
    bool Flush();

    pcap_if_t* m_adapter = nullptr;  // not owned; set before Launch
    CUdpSender m_udpSender;          // the forwarder's thread (after the constructor)
    CUdpPeer* m_udpPeer = nullptr;   // not owned; set before Launch
    // Set before Launch, then only read.
    wire::CIpv4Subnet m_this;
    wire::CIpv4Subnet m_other;
    pcap_t* m_capture = nullptr;  // open only while Run runs; the forwarder's thread
    // Frames merged beyond the MTU, whole; open with m_capture on a card that can merge.
    CMergedCapture m_merged;           // the forwarder's thread
    bool m_mergedFailureTold = false;  // once per run; the forwarder's thread
    // Added to by the forwarder, taken (exchange with 0) by the owner's timer: atomic.
    std::atomic<std::int32_t> m_byteCount{0};
    char m_macText[32] = {};
    wire::TunnelMode m_mode = wire::TunnelMode::kUdp;  // set before Launch
    CTcpLink* m_tcpLink = nullptr;                     // not owned; the TCP modes
    // The records or datagrams taken from the ring in one go; made by Run for the mode (once per
    // run, never per packet); the forwarder's thread only.
    std::unique_ptr<CForwardBatch> m_batch;
    // Where packets wait between the ring and the batch; made by Run for the MTU (never per
    // packet); the forwarder's thread only.
    std::unique_ptr<CFlowQueue> m_queue;
    seal::CSealedChannel* m_channel = nullptr;  // not owned; the sealed modes; set before Launch
    // The capture interface's MTU, read once when Run starts. Captures can hold frames that
    // the adapter or the kernel merged (GRO/LRO) beyond it, which the far LAN cannot take; those
    // are cut back to MTU-sized packets before they enter the tunnel. Written by the forwarder's
    // thread, read by tests: atomic.
    std::atomic<int> m_mtu{0};
    // The forwarder's thread only: packets longer than this are cut (the MTU; no limit when the
    // MTU is unknown, and packets then travel as captured).
    int m_packetLimit = 0;
    // Created by Run with the MTU (one buffer, allocated once per run, never per packet); the
    // forwarder's thread only.
    std::unique_ptr<CSegmenter> m_segmenter;
    // Written by the forwarder's thread, read by tests: atomic.
    std::atomic<std::uint32_t> m_oversize{0};
    ForwarderCounters m_counters;  // written by the forwarder's thread only (see the type)
    CCardKeeper m_keeper{CLanCard::kForwarder};  // the forwarder's thread (SetCard: before Launch)
};
