// The virtual router's presence on the LAN: answers ARP requests for the virtual IPv4 address
// with the virtual MAC, hands the sender of every ARP request and reply it hears to the
// neighbour resolver, and sends the requests and probes the injector's resolver asks for.
// Owned by CTunnelEngine for its whole life (so is its resolver, with what it learned);
// configured and launched on every Start, stopped and joined on every Stop.
// Threads: the UI thread configures it (SetRespond at any time); the agent's thread reads the
// capture; the injector's thread calls what CArpPort offers (and nothing else).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "engine/arp/ArpFrames.h"
#include "engine/arp/ArpPort.h"
#include "engine/arp/NeighbourResolver.h"
#include "engine/card/CardKeeper.h"
#include "platform/Pcap.h"
#include "platform/WorkerThread.h"

class CArpAgent : public CWorkerThread, public CArpPort {
  public:
    CArpAgent();
    ~CArpAgent() override;

    void SetRespond(bool respond);
    // `address` in host order; `mac` parsed and checked once by the owner (CMacAddress), so
    // that the answers carry exactly the address the forwarder's filter captures.
    void SetVirtualRouter(std::uint32_t address, const std::uint8_t* mac);
    void SetAdapter(pcap_if_t* adapter);  // not owned; outlives the run
    // Where the agent reports the card's state (not owned; before Launch). Without one it keeps
    // its own, which still writes the lost/back lines to standard error.
    void SetLanCard(CLanCard* card) { m_keeper.SetCard(card); }

    // The 6 bytes of the virtual MAC; valid for the agent's life.
    const std::uint8_t* GetVirtualMac() const override;

    // The open capture, once the agent's thread has opened it; nullptr when no capture will
    // come (the agent's thread ended, or the agent was asked to stop) or once `caller` is asked
    // to stop. A card that cannot be opened yet is retried by the agent, so the wait goes on
    // until it opens. A waiting caller is always released by its own stop request, also when
    // the agent's thread never started. The handle may be closed and replaced later (the card
    // went away and came back): it is a sign that the agent captures, never sent through.
    pcap_t* WaitForCapture(CWorkerThread* caller = nullptr) override;

    // What the agent learned, and the injector's resolution; see CNeighbourResolver for which
    // thread calls what.
    CNeighbourResolver& Neighbours() override { return m_neighbours; }

    // Sends one ARP request for `address` (network order): broadcast, or with `unicastMac` a
    // probe to that MAC. False, sending nothing, once the capture has been closed.
    bool SendRequest(std::uint32_t address, const std::uint8_t* unicastMac) override;

    // Puts one frame on the LAN through the agent's send handle. False, sending nothing, while
    // the card is away (the handle closed, or never opened). Safe from any thread; survives the
    // agent reopening its handles when the card comes back.
    bool SendFrame(const std::uint8_t* frame, int length) override;

    // Bumped every time the agent has opened the card (at each Start, and each time the card
    // comes back): a sender with a socket of its own on the card opens it again when it moves.
    std::uint32_t GetCardEpoch() const override {
        return m_cardEpoch.load(std::memory_order_acquire);
    }

    unsigned Run() override;

  private:
    // Opens the filtered reading capture and the send handle, then publishes the capture (and
    // WaitForCapture returns). A capture whose filter failed is kept and published unfiltered.
    // Null when the card could not be opened (reported to the keeper, which paced the retry).
    pcap_t* OpenCapture();
    // Answers and learns until a stop request or the card's loss.
    void ReadFrames(pcap_t* capture);
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
    CCardKeeper m_keeper{CLanCard::kArpAgent};  // the agent thread (SetCard: before Launch)
    // Written by the agent thread after each opening, read by the injector: atomic.
    std::atomic<std::uint32_t> m_cardEpoch{0};
};
