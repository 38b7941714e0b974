// The virtual router's presence on the LAN: answers ARP requests for the virtual IPv4 address
// with the virtual MAC, hands the sender of every ARP request and reply it hears to the
// neighbour resolver, and sends the requests and probes the injector's resolver asks for.
// Owned by CTunnelEngine for its whole life (so is its resolver, with what it learned);
// configured and launched on every Start, stopped and joined on every Stop.
// Threads: the UI thread configures it (SetRespond at any time); the agent's thread reads the
// capture; the injector's thread calls WaitForCapture, Neighbours, SendRequest and SendFrame.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "engine/ArpFrames.h"
#include "engine/NeighbourResolver.h"
#include "platform/Pcap.h"
#include "platform/WorkerThread.h"

class CArpAgent : public CWorkerThread {
  public:
    CArpAgent();
    ~CArpAgent() override;

    void SetRespond(bool respond);
    // `address` in host order; `mac` parsed and checked once by the owner (CMacAddress), so
    // that the answers carry exactly the address the forwarder's filter captures.
    void SetVirtualRouter(std::uint32_t address, const std::uint8_t* mac);
    void SetAdapter(pcap_if_t* adapter);  // not owned; outlives the run

    // The 6 bytes of the virtual MAC; valid for the agent's life.
    const std::uint8_t* GetVirtualMac() const;

    // The open capture, once the agent's thread has opened it; nullptr when no capture will
    // come (the adapter could not be opened, the agent's thread ended, or the agent was asked to
    // stop) or once `caller` is asked to stop. A waiting caller is therefore always released by
    // its own stop request, also when the agent's thread never started.
    pcap_t* WaitForCapture(CWorkerThread* caller = nullptr);

    // What the agent learned, and the injector's resolution; see CNeighbourResolver for which
    // thread calls what.
    CNeighbourResolver& Neighbours() { return m_neighbours; }

    // Sends one ARP request for `address` (network order): broadcast, or with `unicastMac` a
    // probe to that MAC. False, sending nothing, once the capture has been closed.
    bool SendRequest(std::uint32_t address, const std::uint8_t* unicastMac);

    // Puts one frame on the LAN through the agent's capture. False, sending nothing, once the
    // capture has been closed (or never opened). Safe from any thread.
    bool SendFrame(const std::uint8_t* frame, int length);

    unsigned Run() override;

  private:
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
    // Posted to by the agent's thread, used by the injector's (its own guards, see there).
    CNeighbourResolver m_neighbours;
    // Configured by the UI before Launch; the Ethernet destination (0-5) and target field
    // (38-41) are written by SendRequest under m_sendMutex together with its send, so a frame
    // never leaves half rewritten.
    std::uint8_t m_requestTemplate[42];
    std::uint8_t m_replyTemplate[42];  // agent thread alone while it runs
    // The reading handle: opened, read and closed by the agent thread only; published for
    // WaitForCapture, never sent through.
    std::atomic<pcap_t*> m_capture;

    // Guards m_sendHandle, m_sendOpen and the request template's destination and target. Held
    // across one pcap_sendpacket (a packet-socket send), never across a read or a wait.
    std::mutex m_sendMutex;
    pcap_t* m_sendHandle;  // opened and closed together with m_capture by the agent thread
    bool m_sendOpen;
};
