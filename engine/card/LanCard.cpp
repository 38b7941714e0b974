#include "engine/card/LanCard.h"

#include <cstdio>

void CLanCard::ResetAll() {
    std::lock_guard lock(m_mutex);
    m_states[kArpAgent] = m_states[kForwarder] = State::kUp;
    m_overall.store(State::kUp, std::memory_order_release);
}

void CLanCard::Reset(Worker worker) {
    std::lock_guard lock(m_mutex);
    m_states[worker] = State::kUp;
    m_overall.store(OverallLocked(), std::memory_order_release);
}

CLanCard::State CLanCard::OverallLocked() const {
    // The first worker that is not up speaks for the card (the agent before the forwarder).
    for (State state : m_states) {
        if (state != State::kUp) return state;
    }
    return State::kUp;
}

void CLanCard::Report(Worker worker, State state, const char* device, const char* detail) {
    char line[400];
    line[0] = '\0';
    {
        std::lock_guard lock(m_mutex);
        m_states[worker] = state;
        const State before = m_overall.load(std::memory_order_relaxed);
        const State after = OverallLocked();
        if (after == before) return;
        m_overall.store(after, std::memory_order_release);
        if (device == nullptr) device = "(none)";
        if (detail == nullptr || detail[0] == '\0') detail = "no reason given";
        if (after == State::kUp) {
            std::snprintf(line, sizeof line, "LAN card %s %s.\n", device,
                          before == State::kLost ? "is back" : "opened");
        } else if (after == State::kLost) {
            std::snprintf(line, sizeof line, "LAN card %s lost (%s): waiting for it to return.\n",
                          device, detail);
        } else {
            // Most often missing privileges: the operator needs the library's own words.
            std::snprintf(line, sizeof line, "\nUnable to open the adapter %s: %s\n", device,
                          detail);
        }
    }
    std::fputs(line, stderr);
}
