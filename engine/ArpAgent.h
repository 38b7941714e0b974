// The virtual router's presence on the LAN: answers ARP requests for the virtual IPv4 address
// with the virtual MAC, learns neighbours from ARP replies into a 500-entry cyclic cache, and
// resolves addresses for the injector. Owned by CTunnelEngine for its whole life; configured and
// launched on every Start, stopped and joined on every Stop.
// Threads: the UI thread configures it (SetRespond at any time); the agent's thread reads the
// capture; the injector's thread calls WaitForCapture, Resolve and SendFrame.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "engine/ArpFrames.h"
#include "platform/ManualResetEvent.h"
#include "platform/Pcap.h"
#include "platform/WorkerThread.h"

class CArpAgent : public CWorkerThread {
  public:
    CArpAgent();
    ~CArpAgent() override;

    void SetRespond(bool respond);
    // `address` in host order; `macText` as "00:D0:BE:D0:BE:D0" (six hex fields, low 8 bits).
    // A field that is not a hex number, or follows a missing colon, gives 0, as do all later
    // fields ("00:D0:zz" gives 00 D0 00 00 00 00); see CArpFrames::ParseMacText.
    void SetVirtualRouter(std::uint32_t address, const char* macText);
    void SetAdapter(pcap_if_t* adapter);  // not owned; outlives the run

    // The 6 bytes of the virtual MAC; valid for the agent's life.
    const std::uint8_t* GetVirtualMac() const;

    // The open capture, once the agent's thread has opened it; nullptr when no capture will
    // come (the adapter could not be opened, the agent's thread ended, or the agent was asked to
    // stop) or once `caller` is asked to stop. A waiting caller is therefore always released by
    // its own stop request, also when the agent's thread never started.
    pcap_t* WaitForCapture(CWorkerThread* caller = nullptr);

    // `address` in network order. The MAC, from the cache or after one broadcast request and at
    // most 100 ms of waiting; nullptr when unknown. The pointer stays valid and unchanged until
    // the same thread's next Resolve (it is a copy, never a half-written entry).
    const std::uint8_t* Resolve(std::uint32_t address);

    // Puts one frame on the LAN through the agent's capture. False, sending nothing, once the
    // capture has been closed (or never opened). Safe from any thread.
    bool SendFrame(const std::uint8_t* frame, int length);

    unsigned Run() override;

  private:
    // Copies the MAC of the first entry holding `address` under the cache lock; false if none.
    bool FindInCache(std::uint32_t address, std::uint8_t* mac);
    // Opens the filtered reading capture and the send handle, then publishes the capture (and
    // WaitForCapture returns). A capture whose filter failed is kept and published unfiltered.
    // True when every step succeeded.
    bool OpenCapture();
    // Closes the send handle under its lock, then the reading capture (agent thread only, after
    // the last read).
    void CloseCapture(pcap_t* capture);
    // Sends 42 bytes through the send handle while it is open; false otherwise.
    bool SendLocked(const std::uint8_t* frame, int length);

    pcap_if_t* m_adapter;  // UI thread before Launch; agent thread reads it in OpenCapture
    // Written by the UI at any time, read once per frame by the agent thread.
    std::atomic<bool> m_respond;
    // Cache and next slot: written by the agent thread, read by the agent and the resolver;
    // guarded by m_cacheMutex so that no lookup sees an entry half written.
    ArpCacheEntry m_cache[CArpFrames::kCacheSize];
    std::int32_t m_nextSlot;
    // The address a Resolve is waiting for after its request went out: written by the resolver,
    // read by the agent thread after learning, which signals m_replyEvent on a match.
    std::atomic<std::uint32_t> m_awaitedAddress;
    // Configured by the UI before Launch; the target field (38-41) is written by Resolve under
    // m_sendMutex together with its send, so a frame never leaves half rewritten.
    std::uint8_t m_requestTemplate[42];
    std::uint8_t m_replyTemplate[42];  // agent thread alone while it runs
    // The reading handle: opened, read and closed by the agent thread only; published for
    // WaitForCapture, never sent through.
    std::atomic<pcap_t*> m_capture;
    platform::CManualResetEvent m_replyEvent;

    std::mutex m_cacheMutex;  // guards m_cache and m_nextSlot; held for one scan at most
    // Guards m_sendHandle, m_sendOpen and the request template's target field. Held across one
    // pcap_sendpacket (a packet-socket send), never across a read or a wait.
    std::mutex m_sendMutex;
    pcap_t* m_sendHandle;  // opened and closed together with m_capture by the agent thread
    bool m_sendOpen;
};
