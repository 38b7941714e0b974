#include "platform/WorkerThread.h"

#include "platform/Trace.h"

CWorkerThread::CWorkerThread(const char* threadName)
    : m_threadName(threadName), m_threadIdentifier(0), m_thread(0), m_running(false) {}

CWorkerThread::~CWorkerThread() {
    if (m_thread != 0) platform::CloseThreadHandle(m_thread);
}

bool CWorkerThread::IsRunning() {
    return m_running.load(std::memory_order_acquire);
}

void CWorkerThread::RequestStop() {
    m_running.store(false, std::memory_order_release);
}

void CWorkerThread::Launch() {
    if (m_thread != 0) Join();
    m_running.store(true, std::memory_order_release);
    unsigned identifier = 0;
    m_thread = platform::BeginThread(&CWorkerThread::ThreadEntry, this, &identifier);
    if (m_thread != 0) m_threadIdentifier = identifier;
}

void CWorkerThread::Join() {
    Trace("Waiting for 0x%X\n", m_threadIdentifier);
    if (m_thread != 0) {
        platform::WaitForThread(m_thread);
        if (!platform::CloseThreadHandle(m_thread)) {
            Trace("Close handle %d failed\n", static_cast<int>(m_thread));
        }
        m_thread = 0;
    }
    Trace("Wait done\n");
}

bool CWorkerThread::GetExitCode(unsigned* exitCode) const {
    return m_thread != 0 && platform::GetExitCodeThread(m_thread, exitCode);
}

unsigned CWorkerThread::ThreadEntry(void* worker) {
    CWorkerThread* self = static_cast<CWorkerThread*>(worker);
    platform::SetCurrentThreadName(self->m_threadName);
    return self->Run();
}
