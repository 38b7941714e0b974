// The daemon's command line: `-C DIR` (the folder of its Vantrell.INI), `--version`, `--help`.
// Parsing is pure (no output, no exit), so main() decides what to say and with which status.
#pragma once

#include <string>
#include <vector>

struct CDaemonOptions {
    enum class Action { kRun, kVersion, kHelp, kUsageError };

    Action action = Action::kRun;
    std::string directory;  // empty: the working directory as started
    std::string error;      // kUsageError: what was wrong, e.g. "unknown option '-x'"

    static CDaemonOptions Parse(const std::vector<std::string>& arguments);
    static constexpr const char* kUsage = "usage: vantrelld [-C DIR] [--version] [--help]";
};
