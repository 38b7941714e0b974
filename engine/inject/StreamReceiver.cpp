#include "engine/inject/StreamReceiver.h"

#include "engine/inject/InjectionPath.h"
#include "engine/inject/StreamFraming.h"
#include "link/TcpLink.h"
#include "platform/WorkerThread.h"

CStreamReceiver::CStreamReceiver(CTcpLink& link, CStreamFraming& framing, CInjectionPath& path,
                                 CWorkerThread& thread)
    : m_link(link), m_framing(framing), m_path(path), m_thread(thread) {}

void CStreamReceiver::Begin() {
    m_framing.Restart();
    m_generation = m_link.GetConnectionGeneration();
    m_mayHaveData = false;
}

void CStreamReceiver::Step() {
    const std::uint32_t generation = m_link.GetConnectionGeneration();
    if (generation != m_generation) {
        m_framing.Restart();
        m_generation = generation;
        m_mayHaveData = false;
    }
    if (!TakeBuffered()) return;
    m_path.SendQueued();  // the frames queued above live in the buffer that moves now
    m_framing.PrepareReceive();

    if (!m_mayHaveData) {
        m_path.ServiceNeighbours();  // a request for a packet just queued goes out before the wait
        if (!m_link.WaitReadable(m_path.WakeHandle())) return;
    }
    m_mayHaveData = false;
    // As many bytes as the socket holds and the buffer takes: many units in one call.
    const int wanted = m_framing.SpaceSize();
    const int result =
        m_link.Receive(reinterpret_cast<char*>(m_framing.Space()), wanted, m_generation);
    m_framing.TraceReceive(wanted, result);
    if (result == 0) return;
    if (result < 0) {
        Break();
        return;
    }
    m_framing.Commit(result);
    m_mayHaveData = result == wanted;
}

bool CStreamReceiver::TakeBuffered() {
    // A stop request is looked at between units, so that a long run of unresolved destinations
    // cannot hold the thread.
    for (;;) {
        switch (m_framing.Next()) {
            case CStreamFraming::Unit::kNeedMore:
                return true;
            case CStreamFraming::Unit::kBroken:
                m_path.SendQueued();
                Break();
                return false;
            case CStreamFraming::Unit::kTaken:
                if (m_thread.IsRunning()) continue;
                m_path.SendQueued();
                return false;
        }
    }
}

void CStreamReceiver::Break() {
    m_framing.Restart();
    m_mayHaveData = false;
    m_link.RecoverConnection(m_generation);
}
