// SIGTERM, SIGINT and SIGHUP as a request to stop in order: the handler of the first only writes
// one byte to a pipe whose read end the owner watches (a socket notifier in the dialog program,
// poll in the daemon); any further one ends the process at once, by that signal's default
// action, whatever the orderly stop is still doing. The handlers and the pipe are set up once
// and stay for the life of the process. Called from the owner's thread.
#pragma once

namespace platform {

// Installs the handlers (once); the pipe's read end (non-blocking), or -1 when the pipe or a
// handler could not be set up, in which case the signals act as by default.
int StopSignalFd();
// Empties the pipe after it became readable.
void DrainStopSignals();

}  // namespace platform
