// Thread start, wait and release with the meaning of the runtime's _beginthreadex,
// WaitForSingleObject(INFINITE) and CloseHandle, plus Sleep. Used by CWorkerThread on the
// owner's thread; the handle is a plain number, as the worker's fields expect.
#pragma once

#include <cstdint>

namespace platform {

using ThreadHandle = std::uintptr_t;  // 0: no thread
using ThreadProc = unsigned (*)(void* argument);

// Starts `proc(argument)` at once; writes a process-unique identifier. Returns 0 on failure.
ThreadHandle BeginThread(ThreadProc proc, void* argument, unsigned* threadIdentifier);

// Waits without a time limit until the thread has ended. May be called more than once.
void WaitForThread(ThreadHandle handle);

// Exit code of an ended thread (the procedure's result); false while it still runs.
bool GetExitCodeThread(ThreadHandle handle, unsigned* exitCode);

// Releases the handle; a thread still running is detached. False for handle 0.
bool CloseThreadHandle(ThreadHandle handle);

// Names the calling thread for the tools that list threads (top -H, ps -L, perf, gdb): at most
// 15 characters are kept. False if the system refuses it.
bool SetCurrentThreadName(const char* name);

}  // namespace platform

// Suspends the calling thread for `milliseconds`.
void Sleep(unsigned milliseconds);
