#include "ui/StopSignalWatcher.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <mutex>

namespace {

// The pipe's ends, created once and never closed: a handler may run at any moment up to the
// process's exit. Atomics because the handler reads them asynchronously.
std::atomic<int> g_readEnd{-1};
std::atomic<int> g_writeEnd{-1};
// Stop signals received so far; the handler alone counts them (lock-free, so safe in a handler).
std::atomic<int> g_received{0};
std::once_flag g_setUp;

// A second stop signal: the operator (or a service manager) will not wait for the close that the
// first one started. The process ends now, by the signal's own default action, so its parent
// sees which signal ended it. Only async-signal-safe calls.
[[noreturn]] void EndAtOnce(int signalNumber) {
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, signalNumber);
    sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
    raise(signalNumber);
    _exit(128 + signalNumber);  // not reached: the default action of these signals ends the process
}

extern "C" void OnStopSignal(int signalNumber) {
    if (g_received.fetch_add(1, std::memory_order_relaxed) > 0) EndAtOnce(signalNumber);
    const int savedErrno = errno;
    const int fd = g_writeEnd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const char byte = 1;
        // Non-blocking: when the pipe is full a stop is already pending, so a lost byte is fine.
        [[maybe_unused]] ssize_t written = write(fd, &byte, 1);
    }
    errno = savedErrno;
}

bool SetUpOnce() {
    std::call_once(g_setUp, [] {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
        g_readEnd.store(ends[0]);
        g_writeEnd.store(ends[1]);
        struct sigaction action = {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int signalNumber : {SIGTERM, SIGINT, SIGHUP})
            sigaction(signalNumber, &action, nullptr);
    });
    return g_readEnd.load() >= 0;
}

}  // namespace

CStopSignalWatcher::CStopSignalWatcher(QObject* parent) : QObject(parent) {
    if (!SetUpOnce()) return;
    m_notifier = new QSocketNotifier(g_readEnd.load(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &CStopSignalWatcher::OnReadable);
}

// The handlers stay installed and keep writing to the pipe; nobody reads it any more.
CStopSignalWatcher::~CStopSignalWatcher() = default;

void CStopSignalWatcher::OnReadable() {
    char bytes[64];
    while (read(g_readEnd.load(), bytes, sizeof bytes) > 0) {
    }
    m_stopRequested = true;
    emit stopRequested();
}
