#include "tests/support/LanTopology.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/support/SocketAddress.h"

namespace testsupport {

CLanTopology::CLanTopology() : m_tag(CNetNamespace::NewTag()) {
    for (const Lan& lan : kLans) {
        m_hosts.push_back(std::make_unique<CNetNamespace>(m_tag, std::string("host") + lan.name));
        m_routers.push_back(
            std::make_unique<CNetNamespace>(m_tag, std::string("router") + lan.name));
    }
    m_ok = Build();
}

CLanTopology::~CLanTopology() = default;

bool CLanTopology::Build() {
    for (int i = 0; i < kLanCount; ++i) {
        if (!Host(i).Ok() || !Router(i).Ok()) return false;
    }
    for (const Wan& wan : kWans) {
        if (!CNetNamespace::Link(Router(wan.a), wan.deviceA, Router(wan.b), wan.deviceB) ||
            Router(wan.a).Run(std::string("ip addr add ") + wan.addressA + "/30 dev " +
                              wan.deviceA) != 0 ||
            Router(wan.b).Run(std::string("ip addr add ") + wan.addressB + "/30 dev " +
                              wan.deviceB) != 0) {
            return false;
        }
        // Like a card without UDP segmentation offload, the WAN devices take no segmented
        // datagram whole: the kernel cuts it before the device, so a capture there sees the
        // datagrams a wire carries (a veth would pass it on uncut, and show it so).
        for (const auto& [router, device] : {std::pair{wan.a, wan.deviceA}, {wan.b, wan.deviceB}}) {
            if (Router(router).Run(std::string("ethtool -K ") + device +
                                   " tx-udp-segmentation off >/dev/null") != 0) {
                return false;
            }
        }
    }
    for (int i = 0; i < kLanCount; ++i) {
        if (!ConnectLan(i)) return false;
    }
    return true;
}

bool CLanTopology::ConnectLan(int i, const std::string* macs) {
    const Lan& lan = kLans[i];
    std::string routes;
    for (const Lan& other : kLans) {
        if (&other != &lan) {
            routes +=
                std::string(" && ip route add ") + other.subnet + "/24 via " + lan.virtualRouter;
        }
    }
    // The MACs, when given, before any address: no neighbour ever learns another one.
    return CNetNamespace::Link(Host(i), "eth0", Router(i), "lan0") &&
           (macs == nullptr || (Host(i).Run("ip link set eth0 address " + macs[0]) == 0 &&
                                Router(i).Run("ip link set lan0 address " + macs[1]) == 0)) &&
           Host(i).Run(std::string("ethtool -K eth0 tso off gso off tx off >/dev/null && ") +
                       "ip addr add " + lan.host + "/24 dev eth0" + routes) == 0 &&
           Router(i).Run(std::string("sysctl -qw net.ipv4.ip_forward=0 && ip addr add ") +
                         lan.router + "/24 dev lan0") == 0;
}

bool CLanTopology::RemoveLanCard(int lan) {
    m_removedMacs[lan][0] = HostMac(lan);
    m_removedMacs[lan][1] = Router(lan).Output("cat /sys/class/net/lan0/address");
    while (!m_removedMacs[lan][1].empty() && m_removedMacs[lan][1].back() == '\n') {
        m_removedMacs[lan][1].pop_back();
    }
    return Router(lan).Run("ip link del lan0") == 0;
}

bool CLanTopology::AddLanCardAgain(int lan) {
    if (m_removedMacs[lan][0].empty() || m_removedMacs[lan][1].empty()) return false;
    return ConnectLan(lan, m_removedMacs[lan]);
}

void CLanTopology::Inside(const CNetNamespace& ns, const std::function<void()>& work) {
    CNetNamespace::Enter inside(ns);
    if (inside.Ok()) work();
}

bool CLanTopology::PingOnce(int from, const std::string& to, int size) {
    return Host(from).Run("ping -q -n -c 1 -W 1 -s " + std::to_string(size) + " " + to, 5) == 0;
}

bool CLanTopology::PingUntil(int from, const std::string& to, int seconds, int size) {
    for (int i = 0; i < seconds; ++i) {
        if (PingOnce(from, to, size)) return true;
    }
    return false;
}

std::string CLanTopology::HostMac(int lan) {
    std::string mac = Host(lan).Output("cat /sys/class/net/eth0/address");
    while (!mac.empty() && (mac.back() == '\n' || mac.back() == ' ')) mac.pop_back();
    return mac;
}

void CLanTopology::Flood(const CNetNamespace& ns, const std::string& to,
                         const std::atomic<bool>& stop, int maxSeconds) {
    Inside(ns, [&] {
        int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (s < 0) return;
        const sockaddr_in target = SocketAddress(to.c_str(), 9);
        static const char payload[1400] = {};
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(maxSeconds);
        while (!stop.load() && std::chrono::steady_clock::now() < deadline) {
            for (int i = 0; i < 4; ++i) {
                ::sendto(s, payload, sizeof payload, MSG_DONTWAIT,
                         reinterpret_cast<const sockaddr*>(&target), sizeof target);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ::close(s);
    });
}

std::vector<std::string> CLanTopology::TransferBothWays(int megabytes, int timeoutSeconds,
                                                        double* seconds) {
    std::vector<std::string> lines;
    char directory[] = "/tmp/vt-transfer-XXXXXX";
    if (mkdtemp(directory) == nullptr) return lines;
    const std::string d = directory, t = std::to_string(timeoutSeconds);
    const std::string size = std::to_string(megabytes * 1000000);
    const std::string a = Host(kA).Exec(), b = Host(kB).Exec();
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
    const std::string sums = ShellOutput(script, nullptr, timeoutSeconds + 10);
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Shell("rm -rf " + d);
    for (size_t at = 0, end; (end = sums.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(sums.substr(at, end - at));
    }
    return lines;
}

}  // namespace testsupport
