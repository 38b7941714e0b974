#include "tests/support/PacketCapture.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace testsupport {

CPacketCapture::CPacketCapture() {
    char pattern[] = "/tmp/vt-capture.XXXXXX";
    if (mkdtemp(pattern) != nullptr) m_dir = pattern;
}

CPacketCapture::~CPacketCapture() {
    Stop();
    std::error_code ignored;
    if (!m_dir.empty() && !getenv("KEEPCAP")) std::filesystem::remove_all(m_dir, ignored);
}

bool CPacketCapture::Start(const CNetNamespace& ns, const std::string& device,
                           const std::string& filter) {
    Stop();
    if (m_dir.empty()) return false;
    const std::string nsPath = "/run/netns/" + ns.Name();
    const std::string file = m_dir + "/capture.pcap";
    const std::string log = m_dir + "/tcpdump.log";
    std::filesystem::remove(log);
    m_pid = fork();
    if (m_pid == 0) {
        int handle = open(nsPath.c_str(), O_RDONLY);
        if (handle < 0 || setns(handle, CLONE_NEWNET) != 0) _exit(127);
        int output = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (output >= 0) {
            dup2(output, STDOUT_FILENO);
            dup2(output, STDERR_FILENO);
        }
        // Immediate mode and -U: every packet written at once, so Stop leaves a whole file; -Z
        // root: the file is written in the test's private folder.
        execlp("tcpdump", "tcpdump", "--immediate-mode", "-B", "32768", "-Z", "root", "-i",
               device.c_str(), "-s", "0", "-U", "-n", "-w", file.c_str(), filter.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    if (m_pid < 0) return false;
    // tcpdump says "listening on" once its capture is open.
    for (int wait = 0; wait < 100; ++wait) {
        std::ifstream in(log);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (text.find("listening on") != std::string::npos) return true;
        if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void CPacketCapture::Stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGINT);
    for (int wait = 0; wait < 100; ++wait) {
        if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

std::vector<std::string> CPacketCapture::Frames() const {
    std::vector<std::string> frames;
    std::ifstream in(m_dir + "/capture.pcap", std::ios::binary);
    std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The classic pcap format, little-endian as tcpdump writes it here: a 24-byte file header,
    // then per frame a 16-byte header (captured length at byte 8) and the frame.
    auto le32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(file[at])) |
               static_cast<std::uint32_t>(static_cast<unsigned char>(file[at + 1])) << 8 |
               static_cast<std::uint32_t>(static_cast<unsigned char>(file[at + 2])) << 16 |
               static_cast<std::uint32_t>(static_cast<unsigned char>(file[at + 3])) << 24;
    };
    if (file.size() < 24 || le32(0) != 0xA1B2C3D4) return frames;
    for (std::size_t at = 24; at + 16 <= file.size();) {
        const std::size_t length = le32(at + 8);
        if (at + 16 + length > file.size()) break;
        frames.push_back(file.substr(at + 16, length));
        at += 16 + length;
    }
    return frames;
}

namespace {
std::size_t PayloadOffset(const std::string& frame, int* protocol) {
    if (frame.size() < 34 || frame[12] != 0x08 || frame[13] != 0x00) return 0;
    const std::size_t ip = 14;
    const std::size_t headerLength = (static_cast<unsigned char>(frame[ip]) & 0x0F) * 4u;
    *protocol = static_cast<unsigned char>(frame[ip + 9]);
    const std::size_t transport = ip + headerLength;
    if (*protocol == 17 && frame.size() >= transport + 8) return transport + 8;
    if (*protocol == 6 && frame.size() >= transport + 20) {
        return transport + (static_cast<unsigned char>(frame[transport + 12]) >> 4) * 4u;
    }
    return 0;
}
}  // namespace

std::string CPacketCapture::TransportPayload(const std::string& frame) {
    int protocol = 0;
    const std::size_t at = PayloadOffset(frame, &protocol);
    return at == 0 || at > frame.size() ? std::string() : frame.substr(at);
}

bool CPacketCapture::IsUdp(const std::string& frame) {
    int protocol = 0;
    return PayloadOffset(frame, &protocol) != 0 && protocol == 17;
}

}  // namespace testsupport
