// Base of every long-running worker: owns one thread that runs the derived class's Run, and the
// running flag through which the owner asks it to finish. The owner (CTunnelEngine, or a test)
// calls Launch, RequestStop, Join and the destructor on its own thread; the worker's thread
// runs Run and polls the flag once per pass of its loop.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Thread.h"

class CWorkerThread {
  public:
    // `threadName` (a literal without spaces: it must outlive the worker) names the worker's thread
    // for the tools that list threads.
    explicit CWorkerThread(const char* threadName = "worker");
    // Releases the thread handle if one is held; neither stops nor waits for the thread, so the
    // owner joins first.
    virtual ~CWorkerThread();

    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    virtual bool IsRunning();
    virtual void RequestStop();
    virtual unsigned Run() = 0;

    // Raises the running flag before the thread exists, so a RequestStop right after is kept.
    void Launch();
    // Waits without a time limit for Run to return, then releases the handle.
    void Join();

    unsigned GetThreadIdentifier() const { return m_threadIdentifier; }
    // Exit code of the last thread once it has ended (tests); false while it runs or if none.
    bool GetExitCode(unsigned* exitCode) const;

  private:
    static unsigned ThreadEntry(void* worker);

    const char* const m_threadName;    // set once, read by the worker's thread
    std::uint32_t m_threadIdentifier;  // owner's thread only
    platform::ThreadHandle m_thread;   // owner's thread only
    // Written by the owner, polled by the worker on every pass: an atomic so that a stop request
    // is always seen.
    std::atomic<bool> m_running;
};
