// Keeps one packet worker's capture on the LAN card across the card's absence: paces the
// attempts to open it (one about every half second, each wait bounded so a stop request is seen
// within 100 ms), notices a card that went down, was deleted or was re-created while the
// capture is quiet (a probe at most twice a second), and reports each to the CLanCard.
// A member of the ARP agent and of the forwarder; SetCard on the owner's thread before Launch,
// everything else on the worker's thread.
#pragma once

#include <net/if.h>

#include <chrono>

#include "engine/card/LanCard.h"
#include "platform/InterfaceProbe.h"
#include "platform/Pcap.h"
#include "platform/PcapCompat.h"

class CWorkerThread;

class CCardKeeper {
  public:
    static constexpr int kRetryMs = 500;  // between two attempts to open the card
    static constexpr int kProbeMs = 500;  // between two looks at the card while capturing
    static constexpr int kSliceMs = 100;  // the longest single sleep: bounds a stop request

    explicit CCardKeeper(CLanCard::Worker worker) : m_worker(worker) {}

    void SetCard(CLanCard* card) { m_card = card != nullptr ? card : &m_ownCard; }

    // Start of the worker's run, on its thread (so its probe looks into the worker's network
    // namespace): nothing opened yet in this run.
    void Begin(const char* device);
    // After a failed open: reports why, then waits about kRetryMs while `worker` runs.
    void OpenFailed(CWorkerThread& worker, platform::OpenFailure why, const char* text);
    // After a successful open: true when the card is there and up; otherwise the failure is
    // reported and waited for as by OpenFailed, and the caller closes what it opened.
    bool Opened(CWorkerThread& worker);
    // Once per read pass with the read's result: false, reported as lost, once the card has
    // gone (a read error, or the probe finds it deleted, re-created or down). The caller then
    // closes its handles and opens again.
    bool StillThere(int readResult, pcap_t* capture);

  private:
    void Lost(const char* detail);
    // Why the card is no longer the one opened (deleted, created again, down); null if it is.
    const char* Gone() const;

    const CLanCard::Worker m_worker;
    CLanCard m_ownCard;  // used when the owner shares none
    CLanCard* m_card = &m_ownCard;
    char m_device[IF_NAMESIZE * 4] = {};
    platform::CInterfaceProbe m_probe;
    int m_index = 0;            // the interface index when the capture was opened
    bool m_everOpened = false;  // in this run: a failure after that is a loss
    std::chrono::steady_clock::time_point m_nextProbe;
};
