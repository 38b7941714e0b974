#include "engine/card/CardKeeper.h"

#include <cstdio>

#include "platform/Thread.h"
#include "platform/WorkerThread.h"

namespace {

CLanCard::State NotOpened(platform::OpenFailure why) {
    switch (why) {
        case platform::OpenFailure::kNoPrivileges:
            return CLanCard::State::kNoPrivileges;
        case platform::OpenFailure::kNoSuchCard:
            return CLanCard::State::kNoSuchCard;
        case platform::OpenFailure::kCardDown:
            return CLanCard::State::kDown;
        default:
            return CLanCard::State::kNotOpened;
    }
}

}  // namespace

void CCardKeeper::Begin(const char* device) {
    std::snprintf(m_device, sizeof m_device, "%s", device != nullptr ? device : "");
    m_everOpened = false;
    m_index = 0;
    m_probe.Open();  // in the worker's namespace, where its captures are opened
    m_card->Reset(m_worker);
}

void CCardKeeper::OpenFailed(CWorkerThread& worker, platform::OpenFailure why, const char* text) {
    m_card->Report(m_worker, m_everOpened ? CLanCard::State::kLost : NotOpened(why), m_device,
                   text);
    for (int waited = 0; waited < kRetryMs && worker.IsRunning(); waited += kSliceMs) {
        Sleep(kSliceMs);
    }
}

bool CCardKeeper::Opened(CWorkerThread& worker) {
    const platform::CInterfaceProbe::Status status = m_probe.Query(m_device);
    if (!status.present || !status.up) {
        OpenFailed(
            worker,
            status.present ? platform::OpenFailure::kCardDown : platform::OpenFailure::kNoSuchCard,
            status.present ? "That device is not up" : "No such device exists");
        return false;
    }
    m_index = status.index;
    m_everOpened = true;
    m_nextProbe = std::chrono::steady_clock::now() + std::chrono::milliseconds(kProbeMs);
    m_card->Report(m_worker, CLanCard::State::kUp, m_device, nullptr);
    return true;
}

bool CCardKeeper::StillThere(int readResult, pcap_t* capture) {
    if (readResult < 0) {
        // The library's words when it has some (a wait that failed leaves none): else the probe's.
        const char* text = pcap_geterr(capture);
        const char* probed = Gone();
        Lost(text != nullptr && text[0] != '\0' ? text : probed ? probed : "a read failed");
        return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now < m_nextProbe) return true;
    m_nextProbe = now + std::chrono::milliseconds(kProbeMs);
    const char* gone = Gone();
    if (gone == nullptr) return true;
    Lost(gone);
    return false;
}

const char* CCardKeeper::Gone() const {
    const platform::CInterfaceProbe::Status status = m_probe.Query(m_device);
    if (!status.present) return "the interface disappeared";
    if (status.index != m_index) return "the interface was created again";
    if (!status.up) return "the interface went down";
    return nullptr;
}

void CCardKeeper::Lost(const char* detail) {
    m_card->Report(m_worker, CLanCard::State::kLost, m_device, detail);
}
