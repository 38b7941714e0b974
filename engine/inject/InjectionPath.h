// The one way every packet from the tunnel reaches the LAN, whichever receiver took it: the
// filter, the neighbour resolver (a packet for an address being asked for waits in its table,
// never in the thread), the Ethernet header (destination from the resolver, source the virtual
// MAC, type IPv4), the byte count and the injection, in batches on a packet socket of its own
// (through the ARP agent's send handle without one). A packet too long for the LAN's MTU (from a
// peer that does not cut merged packets) is cut to fit and injected as several frames.
// Owned by CTunnelToLan; configured on the owner's thread before Launch, TakeByteCount and the
// read-outs on the owner's thread at any time, everything else on the injector's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/arp/NeighbourResolver.h"
#include "engine/inject/InjectFilter.h"
#include "engine/wire/Segmenter.h"
#include "engine/wire/TunnelMode.h"
#include "engine/wire/WireFormat.h"
#include "platform/PacketBatchSender.h"
#include "platform/Pcap.h"
#include "platform/Sockets.h"

class CArpPort;

class CInjectionPath {
  public:
    // What one Inject put on the LAN.
    struct Injected {
        bool rejected = false;  // kept off the LAN by the filter
        bool queued = false;    // waits in the resolver for its destination's answer
        bool resolved = false;  // the destination answered (frames may still be 0)
        int frames = 0;         // frames handed to the card
        int packetBytes = 0;    // their IP bytes (Ethernet headers not counted)
    };

    // Copies the virtual MAC from the agent (not owned; outlives the path): a later change does
    // not reach an existing injector.
    explicit CInjectionPath(CArpPort& lan);
    CInjectionPath(const CInjectionPath&) = delete;
    CInjectionPath& operator=(const CInjectionPath&) = delete;

    // Before Launch. The adapter (not owned; outlives the run) gives the MTU, the longest packet
    // injected whole, and the card for the frame sender.
    void SetAdapter(pcap_if_t* adapter) { m_adapter = adapter; }
    // Addresses and masks in host order (see CInjectFilter); also configures the resolver.
    void SetSubnets(std::uint32_t thisAddress, std::uint32_t thisMask, std::uint32_t otherAddress,
                    std::uint32_t otherMask, std::uint32_t virtualAddress);
    // The transport decides when bytes are counted (see CTunnelToLan::TakeByteCount).
    void SetMode(wire::TunnelMode mode) { m_countOnArrival = wire::IsTcp(mode); }

    // Injector's thread: at the start of a run (reads the MTU, opens the frame sender), and at
    // its end.
    void Begin();
    void End();

    // Writes the Ethernet header in front of the packet at frame byte 14 and injects the frame,
    // or, for a packet longer than the MTU, each of its segments behind a copy of the header;
    // counts it. A whole frame is queued on the frame sender when it is open: its bytes must stay
    // put until SendQueued. Frames queued before a segmented packet leave ahead of its segments.
    Injected Inject(std::uint8_t* frame, int frameLength);
    // Sends the frames Inject queued, in one call.
    void SendQueued();
    // Hands what the agent heard to the table, sends (and counts) the frames that waited for
    // it, and sends the requests and probes that are due. Cheap when there is nothing to do;
    // called before every wait and at every step.
    void ServiceNeighbours();
    // Readable when the agent heard something: every receiver's wait ends on it.
    SOCKET WakeHandle() const { return m_neighbours.WakeHandle(); }

    int TakeByteCount() { return m_byteCount.exchange(0); }
    int GetMtu() const { return m_mtu.load(std::memory_order_relaxed); }
    std::uint32_t GetRejectedCount() const { return m_rejected.load(std::memory_order_relaxed); }

  private:
    // The part of Inject after resolution: `frame` carries its whole header.
    void Deliver(std::uint8_t* frame, int frameLength, Injected& injected);
    // The byte-count rule. TCP counts a packet as it arrives (L, resolved or not; once resolved,
    // the IP bytes that went onto the LAN; nothing when the filter kept it off) and nothing when
    // a packet that waited goes out later. UDP counts frames once they are on the LAN (14 + IP
    // bytes each), whenever that is. `arrived`: the packet just came from the tunnel.
    void Count(const Injected& injected, int packetLength, bool arrived);
    // Opens the frame sender on the card the agent has open now (closed when it cannot).
    void OpenFrameSender();

    CArpPort& m_lan;  // not owned
    // The agent's, kept across Stop and Start (see CArpPort); its table is this thread's while
    // Run runs (see CNeighbourResolver).
    CNeighbourResolver& m_neighbours;
    CNeighbourResolver::Learned m_learned[CNeighbourResolver::kMailbox];  // injector's thread
    std::uint8_t m_header[wire::kEthernetHeaderSize];  // bytes 6-13: the template
    CInjectFilter m_filter;          // configured before Launch, then the injector's thread only
    pcap_if_t* m_adapter = nullptr;  // not owned; set before Launch
    bool m_countOnArrival = false;   // set before Launch
    // Opened by Begin on the adapter; closed when the adapter disappears (frames then go through
    // the ARP agent one by one). The injector's thread only.
    CPacketBatchSender m_frameSender;
    // The agent's card epoch the frame sender was opened for; the injector's thread only.
    std::uint32_t m_senderEpoch = 0;
    // The injector's thread only: packets longer than this are cut (no limit without an MTU).
    int m_packetLimit = wire::kMaxAcceptedLength;
    // Created by Begin with the MTU, once per run; the injector's thread only.
    std::unique_ptr<CSegmenter> m_segmenter;
    // Added to by the injector, taken (exchange with 0) by the owner's timer: atomic.
    std::atomic<std::int32_t> m_byteCount{0};
    // Read once by Begin (injector's thread), read by tests: atomic.
    std::atomic<int> m_mtu{0};
    // Added to by the injector, read by tests: atomic.
    std::atomic<std::uint32_t> m_rejected{0};
};
