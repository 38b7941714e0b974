#include "platform/Trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {
// Read on every trace from any thread, written by tests: an atomic pointer, no lock.
std::atomic<platform::TraceSink> g_sink{nullptr};

#ifdef NDEBUG
constexpr bool kPrintWithoutSink = false;
#else
constexpr bool kPrintWithoutSink = true;
#endif
}  // namespace

namespace platform {
void SetTraceSink(TraceSink sink) {
    g_sink.store(sink, std::memory_order_release);
}
}  // namespace platform

void Trace(const char* format, ...) {
    platform::TraceSink sink = g_sink.load(std::memory_order_acquire);
    if (sink == nullptr && !kPrintWithoutSink) return;
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (sink != nullptr) {
        sink(line);
    } else {
        std::fputs(line, stderr);
    }
}
