// The virtual router's presence on the LAN: answers ARP requests for the virtual IPv4 address
// with the virtual MAC, learns neighbours from ARP replies into a 500-entry cyclic cache, and
// resolves addresses for the injector. Owned by the dialog for its whole life; configured and
// launched on every Start, stopped and joined on every Stop.
// Threads: the UI thread configures it (SetRespond at any time); the agent's thread reads the
// capture; the injector's thread calls WaitForCapture, Resolve and SendFrame.
// dialog and the tests use. The implementation may add private members freely.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>

#include "engine/WorkerThread.h"

struct ArpCacheEntry {
    std::uint32_t address;  // network order; 0 in a free entry
    std::uint8_t mac[6];
};

class CArpAgent : public CWorkerThread {
public:
    static constexpr int kCacheSize = 500;

    CArpAgent();
    ~CArpAgent() override;

    void SetRespond(bool respond);
    // `address` in host order; `macText` as "00:D0:BE:D0:BE:D0" (six hex fields, low 8 bits).
    void SetVirtualRouter(std::uint32_t address, const char* macText);
    void SetAdapter(pcap_if_t* adapter);  // not owned; outlives the run

    // The 6 bytes of the virtual MAC; valid for the agent's life.
    const std::uint8_t* GetVirtualMac() const;

    // The open capture, once the agent's thread has opened it; nullptr when no capture will
    // come (the adapter could not be opened, the thread ended or failed to start, or the agent
    // was asked to stop). Never waits without end.
    pcap_t* WaitForCapture();

    // `address` in network order. The MAC, from the cache or after one broadcast request and at
    // most 100 ms of waiting; nullptr when unknown. The pointer stays valid and unchanged until
    // the same thread's next Resolve (it is a copy, never a half-written entry).
    const std::uint8_t* Resolve(std::uint32_t address);

    // Puts one frame on the LAN through the agent's capture. False, sending nothing, once the
    // capture has been closed (or never opened). Safe from any thread.
    bool SendFrame(const std::uint8_t* frame, int length);

    unsigned Run() override;
};
