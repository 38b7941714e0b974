// The status socket's words (docs/status-socket.md): where the socket of a site lives, and a
// snapshot as the `key=value` lines that answer `get=1`. Pure, apart from reading the
// environment; any thread.
#pragma once

#include <string>

#include "engine/status/TunnelStatus.h"

namespace control {

constexpr int kProtocolVersion = 1;
constexpr int kMaxRequest = 64;  // bytes of one request line, its newline included

// The folder of this process's status socket: $RUNTIME_DIRECTORY (its first entry, as a
// unit's RuntimeDirectory= sets it), else $XDG_RUNTIME_DIR/vantrell; "" when neither is set.
std::string RuntimeFolder();
// A site name as it may appear in a file name: letters, digits, '.', '-' and '_' kept, every
// other byte '_'; "vantrell" for an empty one or one of dots only.
std::string SiteName(const std::string& raw);
// The site of a program run in `folder` (its last component).
std::string SiteOfFolder(const std::string& folder);
// The answer to `get=1`: one key=value per line, neighbours last, ending "errno=0" and an
// empty line.
std::string FormatStatus(const TunnelStatus& status);

}  // namespace control
