#include "ui/StopSignalWatcher.h"

#include <QSocketNotifier>

#include "platform/StopSignals.h"

CStopSignalWatcher::CStopSignalWatcher(QObject* parent) : QObject(parent) {
    const int fd = platform::StopSignalFd();
    if (fd < 0) return;
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &CStopSignalWatcher::OnReadable);
}

// The handlers stay installed and keep writing to the pipe; nobody reads it any more.
CStopSignalWatcher::~CStopSignalWatcher() = default;

void CStopSignalWatcher::OnReadable() {
    platform::DrainStopSignals();
    m_stopRequested = true;
    emit stopRequested();
}
