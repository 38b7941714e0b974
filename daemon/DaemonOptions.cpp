#include "daemon/DaemonOptions.h"

CDaemonOptions CDaemonOptions::Parse(const std::vector<std::string>& arguments) {
    CDaemonOptions options;
    const auto fail = [&](std::string error) {
        options.action = Action::kUsageError;
        options.error = std::move(error);
        return options;
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            options.action = Action::kHelp;
        } else if (argument == "--version") {
            options.action = Action::kVersion;
        } else if (argument == "-C" || argument == "--directory") {
            if (i + 1 == arguments.size()) return fail("option '" + argument + "' needs a folder");
            options.directory = arguments[++i];
        } else if (argument.rfind("-C", 0) == 0) {
            options.directory = argument.substr(2);
        } else if (argument.rfind("--directory=", 0) == 0) {
            options.directory = argument.substr(12);
        } else {
            return fail(
                (argument.rfind('-', 0) == 0 ? "unknown option '" : "unexpected argument '") +
                argument + "'");
        }
    }
    return options;
}
