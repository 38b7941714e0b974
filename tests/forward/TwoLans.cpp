#include "tests/forward/TwoLans.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>

#include "platform/Pcap.h"
#include "platform/Thread.h"

namespace forwardtest {

using testsupport::CNetNamespace;

struct CTwoLans::AdapterRecord {
    explicit AdapterRecord(const char* ip) {
        address.sin_family = AF_INET;
        inet_pton(AF_INET, ip, &address.sin_addr);
        netmask.sin_family = AF_INET;
        netmask.sin_addr.s_addr = htonl(0xFFFFFF00u);
        entry.addr = reinterpret_cast<sockaddr*>(&address);
        entry.netmask = reinterpret_cast<sockaddr*>(&netmask);
        record.name = name.data();
        record.addresses = &entry;
    }
    std::string name = "lan0";
    sockaddr_in address{};
    sockaddr_in netmask{};
    pcap_addr entry{};
    pcap_if_t record{};
};

CTwoLans::CTwoLans() {
    if (!m_hostA.Ok() || !m_routerA.Ok() || !m_routerB.Ok() || !m_hostB.Ok()) return;
    if (!CNetNamespace::Link(m_hostA, "eth0", m_routerA, "lan0") ||
        !CNetNamespace::Link(m_routerA, "wan0", m_routerB, "wan0") ||
        !CNetNamespace::Link(m_routerB, "lan0", m_hostB, "eth0")) {
        return;
    }
    const std::string hostSetup = "ethtool -K eth0 tso off gso off tx off >/dev/null && ";
    m_ok = m_hostA.Run(hostSetup +
                       "ip addr add 10.1.0.10/24 dev eth0 && "
                       "ip route add 10.2.0.0/24 via 10.1.0.1") == 0 &&
           m_hostB.Run(hostSetup +
                       "ip addr add 10.2.0.10/24 dev eth0 && "
                       "ip route add 10.1.0.0/24 via 10.2.0.1") == 0 &&
           m_routerA.Run(
               "sysctl -qw net.ipv4.ip_forward=0 && "
               "ip addr add 10.1.0.2/24 dev lan0 && "
               "ip addr add 10.99.0.1/30 dev wan0") == 0 &&
           m_routerB.Run(
               "sysctl -qw net.ipv4.ip_forward=0 && "
               "ip addr add 10.2.0.2/24 dev lan0 && "
               "ip addr add 10.99.0.2/30 dev wan0") == 0;
    m_adapters[kA] = std::make_unique<AdapterRecord>("10.1.0.2");
    m_adapters[kB] = std::make_unique<AdapterRecord>("10.2.0.2");
}

CTwoLans::~CTwoLans() = default;

CTunnelEngine::Settings CTwoLans::Settings(Side side, CTunnelEngine::Mode mode) {
    CTunnelEngine::Settings s;
    const bool a = side == kA;
    s.thisSubnet = a ? Ip(10, 1, 0, 0) : Ip(10, 2, 0, 0);
    s.thisMask = Ip(255, 255, 255, 0);
    s.otherSubnet = a ? Ip(10, 2, 0, 0) : Ip(10, 1, 0, 0);
    s.otherMask = Ip(255, 255, 255, 0);
    s.tunnelAddress = a ? Ip(10, 99, 0, 2) : Ip(10, 99, 0, 1);
    s.tunnelPort = kPort;
    s.listenPort = kPort;
    s.virtualAddress = a ? Ip(10, 1, 0, 1) : Ip(10, 2, 0, 1);
    s.virtualMac = a ? kMacA : kMacB;
    s.adapter = &m_adapters[side]->record;
    s.respond = true;
    if (mode == CTunnelEngine::Mode::kUdp) {
        s.mode = mode;
    } else {
        s.mode = a ? CTunnelEngine::Mode::kTcpInitiator : CTunnelEngine::Mode::kTcpListener;
    }
    return s;
}

void CTwoLans::Inside(const CNetNamespace& ns, const std::function<void()>& work) {
    CNetNamespace::Enter inside(ns);
    if (inside.Ok()) work();
}

std::unique_ptr<CTunnelEngine> CTwoLans::Construct(Side side) {
    std::unique_ptr<CTunnelEngine> engine;
    Inside(Router(side), [&] { engine = std::make_unique<CTunnelEngine>(); });
    return engine;
}

bool CTwoLans::Start(Side side, CTunnelEngine& engine) {
    bool started = false;
    Inside(Router(side), [&] { started = engine.Start(); });
    return started;
}

bool CTwoLans::PingOnce(Side from, const std::string& to, int size) {
    return Host(from).Run("ping -q -n -c 1 -W 1 -s " + std::to_string(size) + " " + to, 5) == 0;
}

std::vector<std::string> CTwoLans::TransferBothWays(int megabytes, int timeoutSeconds,
                                                    double* seconds) {
    std::vector<std::string> lines;
    char directory[] = "/tmp/vt-transfer-XXXXXX";
    if (mkdtemp(directory) == nullptr) return lines;
    const std::string d = directory, t = std::to_string(timeoutSeconds);
    const std::string size = std::to_string(megabytes * 1000000);
    const std::string a = m_hostA.Exec(), b = m_hostB.Exec();
    // Each listener is up before its sender starts; every process is bounded by timeout.
    const std::string script =
        "cd " + d + " && head -c " + size + " /dev/urandom > fromA && head -c " + size +
        " /dev/urandom > fromB && (" + b + "timeout " + t + " nc -l 5001 > atB & " + a +
        "timeout " + t + " nc -l 5002 > atA & " + "for i in $(seq 50); do " + b +
        "ss -ltn | grep -q :5001 && " + a + "ss -ltn | grep -q :5002 && break; sleep 0.1; done; " +
        a + "timeout " + t + " nc -N " + kHostB + " 5001 < fromA & " + b + "timeout " + t +
        " nc -N " + kHostA +
        " 5002 < fromB & wait) && "
        "sha256sum < fromA > sums && sha256sum < atB >> sums && "
        "sha256sum < fromB >> sums && sha256sum < atA >> sums && cat sums";
    const auto start = std::chrono::steady_clock::now();
    const std::string sums = testsupport::ShellOutput(script, nullptr, timeoutSeconds + 10);
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    testsupport::Shell("rm -rf " + d);
    for (size_t at = 0, end; (end = sums.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(sums.substr(at, end - at));
    }
    return lines;
}

bool CTwoLans::StartPair(CTunnelEngine::Mode mode, std::unique_ptr<CTunnelEngine>& a,
                         std::unique_ptr<CTunnelEngine>& b) {
    a = Construct(kA);
    b = Construct(kB);
    if (!a || !b) return false;
    a->SetSettings(Settings(kA, mode));
    b->SetSettings(Settings(kB, mode));
    return Start(kB, *b) && Start(kA, *a) && PingUntil(kA, kHostB, 15);
}

bool CTwoLans::PingUntil(Side from, const std::string& to, int seconds, int size) {
    for (int i = 0; i < seconds; ++i) {
        if (PingOnce(from, to, size)) return true;
    }
    return false;
}

void CTwoLans::Flood(const CNetNamespace& ns, const std::string& to, const std::atomic<bool>& stop,
                     int maxSeconds) {
    Inside(ns, [&] {
        int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (s < 0) return;
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(9);
        inet_pton(AF_INET, to.c_str(), &target.sin_addr);
        static const char payload[1400] = {};
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(maxSeconds);
        while (!stop.load() && std::chrono::steady_clock::now() < deadline) {
            for (int i = 0; i < 4; ++i) {
                ::sendto(s, payload, sizeof payload, MSG_DONTWAIT,
                         reinterpret_cast<const sockaddr*>(&target), sizeof target);
            }
            Sleep(1);
        }
        ::close(s);
    });
}

std::string CTwoLans::HostMac(Side side) {
    std::string mac = Host(side).Output("cat /sys/class/net/eth0/address");
    while (!mac.empty() && (mac.back() == '\n' || mac.back() == ' ')) mac.pop_back();
    return mac;
}

}  // namespace forwardtest
