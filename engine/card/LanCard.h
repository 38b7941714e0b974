// The chosen LAN card as the packet workers find it: up, lost while running, or not opened yet
// (and why). The ARP agent and the forwarder each report what they see; the card counts as up
// only when both do. Standard error gets one line whenever that overall state changes (lost,
// back, not opened and why), never one per retry. The owner (CTunnelEngine) shares one with
// both workers; a worker used on its own keeps a private one.
// Threads: Report from the two workers' threads; Get from any thread (the dialog's timer);
// ResetAll from the owner's thread before it launches the workers.
#pragma once

#include <atomic>
#include <mutex>

class CLanCard {
  public:
    // What the status line says is the owner's choice; these are the cases it tells apart.
    enum class State : int {
        kUp = 0,        // capturing (or not yet known: nothing has failed in this run)
        kLost,          // was open in this run, went away (down, deleted, re-created)
        kNoPrivileges,  // never opened in this run: the capture is not permitted
        kNoSuchCard,    // never opened in this run: no interface by that name
        kDown,          // never opened in this run: the interface is down
        kNotOpened,     // never opened in this run, for another reason
    };
    enum Worker : int { kArpAgent = 0, kForwarder = 1 };

    // Both workers count as up again; prints nothing.
    void ResetAll();
    // This worker's slot back to up at the start of its run; prints nothing.
    void Reset(Worker worker);
    // One worker's view of the card named `device`; `detail` is the library's or the probe's
    // words for a failure. Prints a line when the overall state changes.
    void Report(Worker worker, State state, const char* device, const char* detail);
    State Get() const { return m_overall.load(std::memory_order_acquire); }

  private:
    State OverallLocked() const;

    // Guards m_states and the change of m_overall, so two reports never print the same change
    // twice; held for a comparison and a formatted copy, never while writing the line.
    std::mutex m_mutex;
    State m_states[2] = {State::kUp, State::kUp};
    // Written under m_mutex, read by the owner's timer without it: atomic.
    std::atomic<State> m_overall{State::kUp};
};
