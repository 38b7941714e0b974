// Two LANs joined by two tunnel ends, in network namespaces that the fixture creates and removes:
//
//   hostA                    routerA                                 routerB hostB 10.1.0.10/24
//   10.1.0.2/24 (lan0)                      (lan0) 10.2.0.2/24         10.2.0.10/24 eth0
//   ------------------- lan0   [engine A]  wan0 ======== wan0   [engine B]   lan0 --------- eth0
//   via 10.1.0.1             virtual 10.1.0.1   10.99.0.1/30  10.99.0.2/30  virtual 10.2.0.1
//   via 10.2.0.1 to 10.2.0.0/24           MAC 02:00:00:0a:00:01                  MAC
//   02:00:00:0b:00:01      to 10.1.0.0/24
//
// The hosts reach the far LAN only through the virtual router; their veth has segmentation and
// checksum offloads off, like a host behind a real wire. The routers do not forward IP
// themselves: only the tunnel carries traffic between the LANs. Engines are created and started
// inside their router's namespace (Construct, Start), so every thread they launch lives there.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/TunnelEngine.h"
#include "tests/support/NetNamespace.h"

namespace forwardtest {

constexpr std::uint32_t Ip(int a, int b, int c, int d) {
    return static_cast<std::uint32_t>(a) << 24 | static_cast<std::uint32_t>(b) << 16 |
           static_cast<std::uint32_t>(c) << 8 | static_cast<std::uint32_t>(d);
}

class CTwoLans {
  public:
    enum Side { kA = 0, kB = 1 };

    static constexpr const char* kHostA = "10.1.0.10";
    static constexpr const char* kHostB = "10.2.0.10";
    static constexpr const char* kVirtualA = "10.1.0.1";
    static constexpr const char* kVirtualB = "10.2.0.1";
    static constexpr const char* kWanA = "10.99.0.1";
    static constexpr const char* kWanB = "10.99.0.2";
    static constexpr const char* kMacA = "02:00:00:0a:00:01";
    static constexpr const char* kMacB = "02:00:00:0b:00:01";
    static constexpr int kPort = 27659;

    CTwoLans();
    ~CTwoLans();
    CTwoLans(const CTwoLans&) = delete;
    CTwoLans& operator=(const CTwoLans&) = delete;

    bool Ok() const { return m_ok; }

    testsupport::CNetNamespace& Host(Side side) { return side == kA ? m_hostA : m_hostB; }
    testsupport::CNetNamespace& Router(Side side) { return side == kA ? m_routerA : m_routerB; }

    // The settings of one end in the given mode (for TCP, A initiates and B listens). The adapter
    // record is the fixture's.
    CTunnelEngine::Settings Settings(Side side, CTunnelEngine::Mode mode);

    // Engines live inside their router's namespace.
    std::unique_ptr<CTunnelEngine> Construct(Side side);
    bool Start(Side side, CTunnelEngine& engine);
    // Both ends in `mode` (B first, so a TCP listener waits for its initiator), started, and
    // traffic seen crossing from host A to host B within 15 s.
    bool StartPair(CTunnelEngine::Mode mode, std::unique_ptr<CTunnelEngine>& a,
                   std::unique_ptr<CTunnelEngine>& b);
    // Runs `work` on this thread while it sits in `ns`.
    static void Inside(const testsupport::CNetNamespace& ns, const std::function<void()>& work);

    // One echo from a host to an address, retried once a second until `seconds` have passed.
    bool PingUntil(Side from, const std::string& to, int seconds, int size = 56);
    // One echo, one try (-W 1).
    bool PingOnce(Side from, const std::string& to, int size = 56);

    // Sends 1400-byte UDP datagrams from inside `ns` to `to`, port 9, about 4000 a second,
    // until `stop` is set or `maxSeconds` have passed. Runs on the calling thread.
    static void Flood(const testsupport::CNetNamespace& ns, const std::string& to,
                      const std::atomic<bool>& stop, int maxSeconds);

    // `megabytes` of random bytes from host A to host B and as many from B to A, at the same
    // time, over nc (every process bounded by `timeoutSeconds`). The SHA-256 lines of what A
    // sent, what B received, what B sent and what A received (empty when the transfer could not
    // run); `seconds` gets the wall time of the transfer.
    std::vector<std::string> TransferBothWays(int megabytes, int timeoutSeconds, double* seconds);

    // The MAC of a host's eth0, as text.
    std::string HostMac(Side side);

  private:
    // An interface record as the capture library lists it (name, IPv4 address and netmask);
    // defined in the source file, which can include the library after platform/Sockets.h.
    struct AdapterRecord;

    testsupport::CNetNamespace m_hostA{"hostA"};
    testsupport::CNetNamespace m_routerA{"routerA"};
    testsupport::CNetNamespace m_routerB{"routerB"};
    testsupport::CNetNamespace m_hostB{"hostB"};
    std::unique_ptr<AdapterRecord> m_adapters[2];
    bool m_ok = false;
};

}  // namespace forwardtest
