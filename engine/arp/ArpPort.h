// The ARP agent as the injector sees it, and no more: the virtual MAC for the frames' header,
// the card's state (its capture open, the epoch of its last opening), the agent's send handle
// for frames and ARP requests, and the neighbour resolver.
// The resolver belongs to the agent, which lives as long as the engine, not to the injector,
// which lives from Start to Stop: what was learnt about the neighbours survives a Stop, so the
// next Start resolves known hosts at once, and the agent keeps posting what it hears while no
// injector runs. The injector only borrows it while its thread runs.
// Implemented by CArpAgent; held (not owned) by the injector, whose thread makes every call.
#pragma once

#include <cstdint>

#include "platform/Pcap.h"

class CNeighbourResolver;
class CWorkerThread;

class CArpPort {
  public:
    // The 6 bytes of the virtual MAC; valid for the agent's life.
    virtual const std::uint8_t* GetVirtualMac() const = 0;
    // The open capture once the agent has opened it; nullptr when none will come or once
    // `caller` is asked to stop (see CArpAgent::WaitForCapture).
    virtual pcap_t* WaitForCapture(CWorkerThread* caller) = 0;
    // Bumped every time the agent has opened the card.
    virtual std::uint32_t GetCardEpoch() const = 0;
    // One frame onto the LAN through the agent's send handle; false, sending nothing, while the
    // card is away.
    virtual bool SendFrame(const std::uint8_t* frame, int length) = 0;
    // One ARP request for `address` (network order), broadcast or a probe to `unicastMac`.
    virtual bool SendRequest(std::uint32_t address, const std::uint8_t* unicastMac) = 0;
    virtual CNeighbourResolver& Neighbours() = 0;

  protected:
    ~CArpPort() = default;  // never deleted through the port
};
