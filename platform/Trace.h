// Diagnostic trace hook: printf-style lines that explain what a worker is doing.
// Release builds (NDEBUG) print nothing; debug builds print to standard error. A test may install
// a sink that receives every formatted line in all builds. Callable from any thread.
#pragma once

namespace platform {

// Receives one formatted trace line. Called on the thread that traced; must be thread-safe.
using TraceSink = void (*)(const char* line);

// Installs (or, with nullptr, removes) the sink. Install before the threads that trace start.
void SetTraceSink(TraceSink sink);

}  // namespace platform

// Emits one trace line. Cheap when nothing listens: one atomic load.
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
