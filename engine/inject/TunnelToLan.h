// Carries traffic from the tunnel onto this end's LAN: one receiver for the way packets arrive
// (records or sealed frames from the link's TCP stream, CStreamReceiver; fragments, sealed or
// not, on the tunnel's UDP socket bound to the listen port, CDatagramReceiver) hands every whole
// packet to the one injection path (CInjectionPath), which filters, resolves, writes the
// Ethernet header, counts and injects it. A packet for an address being asked for waits in the
// resolver's table, never in this thread; it goes out as soon as the agent hears the answer,
// which wakes this thread's waits.
// Owned by CTunnelEngine: created at Start after the ARP agent is configured (it copies the
// virtual MAC then), launched, and stopped and joined at Stop before the ARP agent. The setters
// run on the owner's thread before Launch; TakeByteCount and the read-outs on the owner's thread
// at any time; everything else on the injector's thread.
// Sealed: every datagram or frame is opened by the channel before anything in it is looked at;
// what fails is dropped and counted, on TCP the connection is recovered; handshake replies go
// back to the peer (docs/sealed-tunnel.md, sections 8 and 9).
#pragma once

#include <cstdint>
#include <memory>

#include "engine/inject/InjectionPath.h"
#include "engine/wire/TunnelMode.h"
#include "platform/Pcap.h"
#include "platform/WorkerThread.h"

class CArpPort;
class CDatagramReceiver;
class CSealedOpener;
class CSealedStreamFraming;
class CStreamFraming;
class CTcpLink;
class CTunnelReceiver;
class CTunnelSocket;
class CUdpPeer;
namespace seal {
class CSealedChannel;
}

class CTunnelToLan : public CWorkerThread {
  public:
    // How packets arrive; fixed for the injector's life.
    struct Tunnel {
        wire::TunnelMode mode = wire::TunnelMode::kUdp;
        CTcpLink* link = nullptr;                 // TCP modes (not owned; outlives the injector)
        seal::CSealedChannel* channel = nullptr;  // sealed TCP (not owned; outlives it)
        // UDP modes: the socket on the listen port that the forwarder sends from, and the other
        // end, which opens every sealed datagram with its source, answers handshakes, moves the
        // endpoint and sends keep-alives (both not owned; they outlive the injector).
        CTunnelSocket* socket = nullptr;
        CUdpPeer* udpPeer = nullptr;
    };

    // The agent (not owned) is configured already: its virtual MAC is copied here.
    CTunnelToLan(CArpPort& lan, const Tunnel& tunnel);
    ~CTunnelToLan() override;

    // The adapter the ARP agent injects on (not owned; outlives the run): its MTU, read when Run
    // starts, is the longest packet injected whole. Without it (or when the MTU cannot be
    // read) every packet is injected as it came.
    void SetAdapter(pcap_if_t* adapter) { m_path.SetAdapter(adapter); }
    // Addresses and masks in host order. Only packets to a host of this end's subnet (not the
    // virtual address) from the other end's subnet go onto the LAN; see CInjectFilter. Also
    // configures the agent's resolver (no injector runs yet).
    void SetSubnets(std::uint32_t thisAddress, std::uint32_t thisMask, std::uint32_t otherAddress,
                    std::uint32_t otherMask, std::uint32_t virtualAddress) {
        m_path.SetSubnets(thisAddress, thisMask, otherAddress, otherMask, virtualAddress);
    }

    unsigned Run() override;
    // Bytes put on the LAN since the last take, by mode:
    //  - TCP: a packet's L bytes as it is received, resolved or not; a packet cut to fit the MTU
    //    counts, once resolved, the IP bytes of its segments instead (0 when it cannot be cut).
    //  - UDP: the whole frame (14 + L) once it is injected; a packet cut to fit counts the
    //    frames of its segments (14 + segment each); nothing when it is not injected.
    // Sealed or not alike. A packet the filter keeps off the LAN counts nothing.
    int TakeByteCount() { return m_path.TakeByteCount(); }
    // The MTU read when Run started (0 when unknown); for tests and traces.
    int GetMtu() const { return m_path.GetMtu(); }
    // UDP: receive buffers that held a run of datagrams kept together by the kernel (receive
    // offload); for tests and traces.
    std::uint32_t GetReceivedRuns() const;
    // Packets from the tunnel that the filter kept off the LAN (never counted as bytes); for
    // tests and traces.
    std::uint32_t GetRejectedCount() const { return m_path.GetRejectedCount(); }
    const InjectorCounters& Counters() const { return m_path.Counters(); }  // any thread
    // TCP, sealed: frames whose header was an unsealed record's (a peer without a key).
    std::uint32_t GetUnsealedFrames() const;

  private:
    CArpPort& m_lan;  // not owned
    CInjectionPath m_path;
    // Made by the constructor for the tunnel's mode, then the injector's thread only (their
    // counters are atomics): the sealed layer (sealed modes), the stream's framing and receiver
    // (TCP modes) or the datagram receiver (UDP modes).
    std::unique_ptr<CSealedOpener> m_opener;
    std::unique_ptr<CStreamFraming> m_framing;
    CSealedStreamFraming* m_sealedFraming = nullptr;  // m_framing in sealed TCP mode
    std::unique_ptr<CDatagramReceiver> m_datagrams;
    std::unique_ptr<CTunnelReceiver> m_stream;
    CTunnelReceiver* m_receiver = nullptr;  // the mode's: m_stream or m_datagrams
};
