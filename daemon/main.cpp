// vantrelld: one Vantrell tunnel end without a window, for a router box and its service manager.
// It reads ./Vantrell.INI (or DIR/Vantrell.INI with -C DIR) as the dialog does, starts the
// tunnel, and runs until SIGTERM, SIGINT or SIGHUP stop it in order (a second one ends it at
// once). Exit status: 0 after a stop, 1 when the tunnel could not start, 2 for a wrong option.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/Daemon.h"
#include "daemon/DaemonOptions.h"
#include "platform/Sockets.h"
#include "platform/StopSignals.h"

#ifndef VANTRELL_VERSION
#error "VANTRELL_VERSION is set by the build"
#endif

int main(int argc, char** argv) {
    const CDaemonOptions options =
        CDaemonOptions::Parse(std::vector<std::string>(argv + 1, argv + argc));
    switch (options.action) {
        case CDaemonOptions::Action::kUsageError:
            std::fprintf(stderr, "vantrelld: %s\n%s\n", options.error.c_str(),
                         CDaemonOptions::kUsage);
            return 2;
        case CDaemonOptions::Action::kVersion:
            std::printf("vantrelld %s\n", VANTRELL_VERSION);
            return 0;
        case CDaemonOptions::Action::kHelp:
            std::printf(
                "%s\n\nRuns one Vantrell tunnel end from Vantrell.INI in the working directory,\n"
                "without a window, until SIGTERM, SIGINT or SIGHUP. See vantrelld(8).\n\n"
                "  -C DIR     read and write DIR/Vantrell.INI\n"
                "  --version  print the version and exit\n"
                "  --help     print this text and exit\n",
                CDaemonOptions::kUsage);
            return 0;
        case CDaemonOptions::Action::kRun:
            break;
    }
    if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) {
        std::fprintf(stderr, "vantrelld: %s: %s\n", options.directory.c_str(),
                     std::strerror(errno));
        return 1;
    }
    // Before any thread exists, so that the first signal already finds the pipe.
    const int stopFd = platform::StopSignalFd();
    if (stopFd < 0) std::fprintf(stderr, "vantrelld: stop signals act as by default\n");

    if (platform::SocketStartup() != 0) std::fprintf(stderr, "Couldn't start Winsock\n");
    int status = 0;
    {
        CDaemon daemon;
        if (daemon.Start()) {
            daemon.RunUntilStopped(stopFd);
        } else {
            status = 1;
        }
        platform::SocketCleanup();
    }
    return status;
}
