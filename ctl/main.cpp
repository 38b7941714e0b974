// vantrellctl: shows the running Vantrell tunnel ends of this machine by asking each one's
// status socket (docs/status-socket.md, vantrellctl(8)). Read-only; links no Qt.
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ctl/StatusReport.h"

namespace {

constexpr std::size_t kMaxAnswer = 4 * 1024 * 1024;
constexpr int kAnswerMs = 2000;

const char kUsage[] =
    "Usage: vantrellctl [status] [--json] [SITE]\n"
    "       vantrellctl metrics [SITE]\n";

// Where running ends put their sockets: a unit's runtime folder, the desktop user's, and the
// folders the service units make (/run/vantrell/SITE).
std::vector<std::string> SearchFolders() {
    std::vector<std::string> folders;
    if (const char* unit = std::getenv("RUNTIME_DIRECTORY"); unit != nullptr && *unit != 0) {
        const std::string all = unit;
        folders.push_back(all.substr(0, all.find(':')));
    }
    if (const char* user = std::getenv("XDG_RUNTIME_DIR"); user != nullptr && *user != 0) {
        folders.push_back(std::string(user) + "/vantrell");
    }
    folders.push_back("/run/vantrell");
    if (DIR* dir = ::opendir("/run/vantrell")) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.')
                folders.push_back(std::string("/run/vantrell/") + entry->d_name);
        }
        ::closedir(dir);
    }
    return folders;
}

// Socket paths by site name (the file name less ".sock"), each site once.
std::vector<std::pair<std::string, std::string>> FindSockets() {
    std::vector<std::pair<std::string, std::string>> found;
    for (const std::string& folder : SearchFolders()) {
        DIR* dir = ::opendir(folder.c_str());
        if (dir == nullptr) continue;
        std::vector<std::string> names;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".sock") == 0) {
                names.push_back(name);
            }
        }
        ::closedir(dir);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            const std::string path = folder + "/" + name, site = name.substr(0, name.size() - 5);
            struct stat info;
            if (::stat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) continue;
            const bool seen = std::any_of(found.begin(), found.end(),
                                          [&](const auto& f) { return f.first == site; });
            if (!seen) found.emplace_back(site, path);
        }
    }
    return found;
}

// The whole answer to get=1, or "" (with the reason on standard error).
std::string Ask(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return std::string();
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::string();
    std::string answer;
    const char request[] = "get=1\n\n";
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::send(fd, request, sizeof request - 1, MSG_NOSIGNAL) < 0) {
        std::fprintf(stderr, "vantrellctl: %s: %s\n", path.c_str(), std::strerror(errno));
        ::close(fd);
        return std::string();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerMs);
    char buffer[16384];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd readable{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&readable, 1, static_cast<int>(left)) <= 0) {
            std::fprintf(stderr, "vantrellctl: %s: no answer\n", path.c_str());
            answer.clear();
            break;
        }
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        answer.append(buffer, static_cast<std::size_t>(got));
        if (answer.size() > kMaxAnswer) break;
    }
    ::close(fd);
    return answer;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false, metrics = false;
    std::string site;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::puts("vantrellctl " VANTRELL_VERSION);
            return 0;
        } else if (i == 1 && (arg == "status" || arg == "metrics")) {
            metrics = arg == "metrics";
        } else if (site.empty() && !arg.empty() && arg[0] != '-') {
            site = arg;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (json && metrics) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::vector<CStatusReport> ends;
    bool failed = false;
    for (const auto& [name, path] : FindSockets()) {
        if (!site.empty() && name != site) continue;
        CStatusReport report;
        if (report.Parse(Ask(path))) {
            ends.push_back(report);
        } else {
            failed = true;
        }
    }
    if (!site.empty() && ends.empty() && !failed) {
        std::fprintf(stderr, "vantrellctl: no running tunnel end of site \"%s\"\n", site.c_str());
        return 1;
    }
    if (json) {
        std::fputs(CStatusReport::Json(ends).c_str(), stdout);
    } else if (metrics) {
        std::fputs(CStatusReport::Metrics(ends).c_str(), stdout);
    } else {
        for (std::size_t i = 0; i < ends.size(); ++i) {
            std::printf("%s%s", i == 0 ? "" : "\n", ends[i].Human().c_str());
        }
    }
    return failed ? 1 : 0;
}
