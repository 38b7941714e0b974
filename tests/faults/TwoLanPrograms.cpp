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

CTwoLanPrograms::CTwoLanPrograms() : m_dirA(MakeDir("A")), m_dirB(MakeDir("B")) {}

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
    const bool a = end == 'A';
    const bool tcp = mode == TunnelMode::kTcp;
    const Lan& here = kLans[a ? kA : kB];
    const Lan& there = kLans[a ? kB : kA];
    std::ofstream ini((a ? m_dirA : m_dirB) + "/Vantrell.INI", std::ios::trunc);
    ini << "[This End]\nIP=" << here.subnet
        << "\nMask=255.255.255.0\nAdaptor=No Description (lan0)\n"
        << "[Other End]\nIP=" << there.subnet << "\nMask=255.255.255.0\n"
        << "[Tunnel]\nIP=" << (a ? kWanB : kWanA) << "\nPort=" << kPort << "\n"
        << "TCP=" << (tcp ? "Yes" : "No") << "\nTCP Initiate=" << (tcp && initiate ? "Yes" : "No")
        << "\n"
        << ((a ? m_keyA : m_keyB).empty() ? "" : "Key=" + (a ? m_keyA : m_keyB) + "\n")
        << "[Listen]\nPort=" << kPort << "\n"
        << "[Virtual]\nIP=" << here.virtualRouter << "\nMAC=" << here.virtualMac << "\n"
        << "[ARP]\nRespond=Yes\n[Start]\nAutostart=Yes\nHide=No\n";
}

pid_t CTwoLanPrograms::Start(char end) {
    bool a = end == 'A';
    pid_t& pid = a ? m_pidA : m_pidB;
    KillAndReap(pid);
    const std::string& dir = a ? m_dirA : m_dirB;
    std::string nsPath = "/run/netns/" + Router(a ? kA : kB).Name();
    std::string xdg = dir + "/xdg";
    // Gone before the fork: what a caller reads next is the new program's alone.
    std::filesystem::remove(dir + "/stderr.txt");
    pid = fork();
    if (pid == 0) {
        int ns = open(nsPath.c_str(), O_RDONLY);
        if (ns < 0 || setns(ns, CLONE_NEWNET) != 0 || chdir(dir.c_str()) != 0) _exit(127);
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) dup2(devnull, STDOUT_FILENO);
        int errors = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (errors >= 0) dup2(errors, STDERR_FILENO);
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

std::string CTwoLanPrograms::ErrorText(char end) const {
    std::ifstream in((end == 'A' ? m_dirA : m_dirB) + "/stderr.txt");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
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
        if (PingOnce(kA, kHostB)) return SecondsSince(start);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
}

}  // namespace testsupport
