// A manual-reset event: once signalled it stays signalled until reset. One thread signals,
// another resets and waits with a time limit. Owned by whoever creates it; any thread may call.
#pragma once

#include <condition_variable>
#include <mutex>

namespace platform {

class CManualResetEvent {
  public:
    CManualResetEvent() = default;
    CManualResetEvent(const CManualResetEvent&) = delete;
    CManualResetEvent& operator=(const CManualResetEvent&) = delete;

    void Set();
    void Reset();
    // Waits at most `milliseconds`; true when the event is (or becomes) signalled.
    bool Wait(int milliseconds);

  private:
    std::mutex m_mutex;  // guards m_signalled; never held while waiting (the condvar releases it)
    std::condition_variable m_changed;
    bool m_signalled = false;
};

}  // namespace platform
