#include "tests/support/NetNamespace.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>

namespace testsupport {
namespace {

std::atomic<int> g_counter{0};

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

// Removes namespaces that an earlier test process (now dead) left behind.
void SweepStale() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::istringstream list(ShellOutput("ip netns list"));
        std::string line;
        while (std::getline(list, line)) {
            std::string name = line.substr(0, line.find(' '));
            int pid = 0;
            if (std::sscanf(name.c_str(), "vt%d-", &pid) != 1 || pid <= 0) continue;
            if (pid == getpid() || kill(pid, 0) == 0) continue;
            Shell("ip netns del " + name);
        }
    });
}

}  // namespace

bool RunningUnderCi() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::strcmp(ci, "true") == 0;
}

bool HaveNetworkPrivileges() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    auto has = [&](int cap) { return (data[cap / 32].effective & (1u << (cap % 32))) != 0; };
    return has(CAP_NET_ADMIN) && has(CAP_NET_RAW);
}

int Shell(const std::string& command, int timeoutSeconds) {
    std::string bounded = "timeout -k 2 " + std::to_string(timeoutSeconds) + " sh -c " +
                          Quote(command) + " >/dev/null 2>&1";
    int status = std::system(bounded.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string ShellOutput(const std::string& command, int* status, int timeoutSeconds) {
    std::string bounded = "timeout -k 2 " + std::to_string(timeoutSeconds) + " sh -c " +
                          Quote(command) + " 2>/dev/null";
    std::string output;
    FILE* pipe = popen(bounded.c_str(), "r");
    if (pipe == nullptr) {
        if (status) *status = -1;
        return output;
    }
    std::array<char, 4096> chunk;
    size_t got;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0)
        output.append(chunk.data(), got);
    int raw = pclose(pipe);
    if (status) *status = (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
    return output;
}

std::string CNetNamespace::NewTag() {
    return "vt" + std::to_string(getpid()) + "-" + std::to_string(g_counter.fetch_add(1));
}

CNetNamespace::CNetNamespace(const std::string& role) : CNetNamespace(NewTag(), role) {}

CNetNamespace::CNetNamespace(const std::string& tag, const std::string& role) {
    SweepStale();
    m_name = tag + "-" + role;
    m_ok = Shell("ip netns add " + m_name) == 0 && Run("ip link set lo up") == 0;
}

CNetNamespace::~CNetNamespace() {
    Shell("ip netns del " + m_name);
}

int CNetNamespace::Run(const std::string& command, int timeoutSeconds) const {
    return Shell("ip netns exec " + m_name + " sh -c " + Quote(command), timeoutSeconds);
}

std::string CNetNamespace::Output(const std::string& command, int* status,
                                  int timeoutSeconds) const {
    return ShellOutput("ip netns exec " + m_name + " sh -c " + Quote(command), status,
                       timeoutSeconds);
}

bool CNetNamespace::Link(const CNetNamespace& a, const std::string& nameInA, const CNetNamespace& b,
                         const std::string& nameInB) {
    return Shell("ip link add " + nameInA + " netns " + a.Name() + " type veth peer name " +
                 nameInB + " netns " + b.Name()) == 0 &&
           a.Run("ip link set " + nameInA + " up") == 0 &&
           b.Run("ip link set " + nameInB + " up") == 0;
}

CNetNamespace::Enter::Enter(const CNetNamespace& ns) {
    m_original = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = open(("/run/netns/" + ns.Name()).c_str(), O_RDONLY | O_CLOEXEC);
    m_ok = m_original >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (target >= 0) close(target);
}

CNetNamespace::Enter::~Enter() {
    if (m_original >= 0) {
        if (m_ok) setns(m_original, CLONE_NEWNET);
        close(m_original);
    }
}

}  // namespace testsupport
