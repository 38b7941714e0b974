#include "tests/faults/TwoLanPrograms.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string MakeDir(const char* name) {
    char pattern[] = "/tmp/vantrell-fault.XXXXXX";
    char* dir = mkdtemp(pattern);
    std::string path = dir ? std::string(dir) + "/" + name : std::string();
    if (!path.empty()) std::filesystem::create_directories(path + "/xdg");
    return path;
}

void KillAndReap(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

}  // namespace

CTwoLanPrograms::CTwoLanPrograms()
    : m_hostA(std::make_unique<CNetNamespace>("hostA")),
      m_routerA(std::make_unique<CNetNamespace>("routerA")),
      m_routerB(std::make_unique<CNetNamespace>("routerB")),
      m_hostB(std::make_unique<CNetNamespace>("hostB")),
      m_dirA(MakeDir("A")),
      m_dirB(MakeDir("B")) {
    m_ok = m_hostA->Ok() && m_routerA->Ok() && m_routerB->Ok() && m_hostB->Ok() &&
           !m_dirA.empty() && !m_dirB.empty() &&
           CNetNamespace::Link(*m_hostA, "lan0", *m_routerA, "lan0") &&
           CNetNamespace::Link(*m_hostB, "lan0", *m_routerB, "lan0") &&
           CNetNamespace::Link(*m_routerA, "wan0", *m_routerB, "wan0") &&
           m_hostA->Run(
               "ip addr add 10.1.0.10/24 dev lan0 && "
               "ethtool -K lan0 tso off gso off tx off >/dev/null && "
               "ip route add 10.2.0.0/24 via 10.1.0.1") == 0 &&
           m_hostB->Run(
               "ip addr add 10.2.0.10/24 dev lan0 && "
               "ethtool -K lan0 tso off gso off tx off >/dev/null && "
               "ip route add 10.1.0.0/24 via 10.2.0.1") == 0 &&
           m_routerA->Run(
               "ip addr add 10.1.0.2/24 dev lan0 && ip addr add 172.31.0.1/30 dev "
               "wan0 && sysctl -qw net.ipv4.ip_forward=0") == 0 &&
           m_routerB->Run(
               "ip addr add 10.2.0.2/24 dev lan0 && ip addr add 172.31.0.2/30 dev "
               "wan0 && sysctl -qw net.ipv4.ip_forward=0") == 0;
}

CTwoLanPrograms::~CTwoLanPrograms() {
    KillAndReap(m_pidA);
    KillAndReap(m_pidB);
    std::error_code ignored;
    for (const std::string& dir : {m_dirA, m_dirB}) {
        if (!dir.empty())
            std::filesystem::remove_all(std::filesystem::path(dir).parent_path(), ignored);
    }
}

void CTwoLanPrograms::Configure(char end, TunnelMode mode) {
    Configure(end, mode, end == 'B');
}

void CTwoLanPrograms::Configure(char end, TunnelMode mode, bool initiate) {
    bool a = end == 'A';
    bool tcp = mode == TunnelMode::kTcp;
    std::ofstream ini((a ? m_dirA : m_dirB) + "/Vantrell.INI", std::ios::trunc);
    ini << "[This End]\nIP=" << (a ? "10.1.0.0" : "10.2.0.0")
        << "\nMask=255.255.255.0\nAdaptor=No Description (lan0)\n"
        << "[Other End]\nIP=" << (a ? "10.2.0.0" : "10.1.0.0") << "\nMask=255.255.255.0\n"
        << "[Tunnel]\nIP=" << (a ? "172.31.0.2" : "172.31.0.1") << "\nPort=27659\n"
        << "TCP=" << (tcp ? "Yes" : "No") << "\nTCP Initiate=" << (tcp && initiate ? "Yes" : "No")
        << "\n[Listen]\nPort=27659\n"
        << "[Virtual]\nIP=" << (a ? "10.1.0.1" : "10.2.0.1")
        << "\nMAC=" << (a ? "00:D0:BE:D0:BE:0A" : "00:D0:BE:D0:BE:0B") << "\n"
        << "[ARP]\nRespond=Yes\n[Start]\nAutostart=Yes\nHide=No\n";
}

pid_t CTwoLanPrograms::Start(char end) {
    bool a = end == 'A';
    pid_t& pid = a ? m_pidA : m_pidB;
    KillAndReap(pid);
    const std::string& dir = a ? m_dirA : m_dirB;
    std::string nsPath = "/run/netns/" + (a ? m_routerA : m_routerB)->Name();
    std::string xdg = dir + "/xdg";
    pid = fork();
    if (pid == 0) {
        int ns = open(nsPath.c_str(), O_RDONLY);
        if (ns < 0 || setns(ns, CLONE_NEWNET) != 0 || chdir(dir.c_str()) != 0) _exit(127);
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, STDOUT_FILENO);
            dup2(devnull, STDERR_FILENO);
        }
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1);
        execl(VANTRELL_BINARY, "vantrell", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

int CTwoLanPrograms::Signal(char end, int signal, bool reap, double seconds) {
    pid_t& pid = end == 'A' ? m_pidA : m_pidB;
    if (pid <= 0) return -1;
    kill(pid, signal);
    if (!reap) return -1;
    auto start = Clock::now();
    while (SecondsSince(start) < seconds) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

std::string CTwoLanPrograms::SettingsText(char end) const {
    std::ifstream in((end == 'A' ? m_dirA : m_dirB) + "/Vantrell.INI");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

double CTwoLanPrograms::SecondsUntilPing(double limit) {
    auto start = Clock::now();
    while (SecondsSince(start) < limit) {
        // -W 1: one answer in time; a lost first packet (ARP, a tunnel not yet up) retries.
        if (m_hostA->Run("ping -c 1 -W 1 10.2.0.10", 5) == 0) return SecondsSince(start);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
}

}  // namespace testsupport
