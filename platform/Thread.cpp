#include "platform/Thread.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace platform {
namespace {

struct ThreadRecord {
    ThreadProc proc;
    void* argument;
    pthread_t thread{};
    bool joined = false;                // owner's thread only
    std::atomic<bool> finished{false};  // written by the thread, read by the owner
    unsigned exitCode = 0;              // published by `finished` (release/acquire)
};

std::atomic<unsigned> g_nextIdentifier{1};

void* Trampoline(void* raw) {
    auto* record = static_cast<ThreadRecord*>(raw);
    record->exitCode = record->proc(record->argument);
    record->finished.store(true, std::memory_order_release);
    return nullptr;
}

}  // namespace

bool SetCurrentThreadName(const char* name) {
    char shortened[16] = {};
    std::snprintf(shortened, sizeof shortened, "%s", name);
    return pthread_setname_np(pthread_self(), shortened) == 0;
}

ThreadHandle BeginThread(ThreadProc proc, void* argument, unsigned* threadIdentifier) {
    auto* record = new ThreadRecord{proc, argument};
    if (pthread_create(&record->thread, nullptr, Trampoline, record) != 0) {
        delete record;
        return 0;
    }
    if (threadIdentifier != nullptr) *threadIdentifier = g_nextIdentifier.fetch_add(1);
    return reinterpret_cast<ThreadHandle>(record);
}

void WaitForThread(ThreadHandle handle) {
    auto* record = reinterpret_cast<ThreadRecord*>(handle);
    if (record == nullptr || record->joined) return;
    pthread_join(record->thread, nullptr);
    record->joined = true;
}

bool GetExitCodeThread(ThreadHandle handle, unsigned* exitCode) {
    auto* record = reinterpret_cast<ThreadRecord*>(handle);
    if (record == nullptr || !record->finished.load(std::memory_order_acquire)) return false;
    *exitCode = record->exitCode;
    return true;
}

bool CloseThreadHandle(ThreadHandle handle) {
    auto* record = reinterpret_cast<ThreadRecord*>(handle);
    if (record == nullptr) return false;
    if (!record->joined) {
        // Still running (or ended but not waited for): let it finish on its own. The record
        // must then outlive the thread, so it is leaked on purpose in that rare case.
        if (record->finished.load(std::memory_order_acquire)) {
            pthread_join(record->thread, nullptr);
        } else {
            pthread_detach(record->thread);
            return true;
        }
    }
    delete record;
    return true;
}

}  // namespace platform

void Sleep(unsigned milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
