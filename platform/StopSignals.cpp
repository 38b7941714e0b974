#include "platform/StopSignals.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace platform {
namespace {

// The pipe's ends, created once and never closed: a handler may run at any moment up to the
// process's exit. Atomics because the handler reads them asynchronously.
std::atomic<int> g_readEnd{-1};
std::atomic<int> g_writeEnd{-1};
// Stop signals received so far; the handler alone counts them (lock-free, so safe in a handler).
std::atomic<int> g_received{0};
std::once_flag g_setUp;

// A second stop signal: the operator (or a service manager) will not wait for the stop that the
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

}  // namespace

int StopSignalFd() {
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
    return g_readEnd.load();
}

void DrainStopSignals() {
    char bytes[64];
    const int fd = g_readEnd.load();
    while (fd >= 0 && read(fd, bytes, sizeof bytes) > 0) {
    }
}

}  // namespace platform
