// The LANs that the network tests join through a tunnel, in network namespaces that the fixture
// creates and removes. The forward, GRO, dialog-cycle and fault tests all stand on this one
// set-up; scripts/ builds the same with the same names and addresses.
//
// hostA eth0 --- LAN A --- lan0 routerA wan0 === WAN === wan0 routerB lan0 --- LAN B --- eth0 hostB
//
//   hostA    eth0 10.1.0.10/24, route to 10.2.0.0/24 via 10.1.0.1
//   routerA  lan0 10.1.0.2/24, virtual router 10.1.0.1 (MAC 02:00:00:0a:00:01)
//            wan0 10.99.0.1/30
//   routerB  wan0 10.99.0.2/30
//            lan0 10.2.0.2/24, virtual router 10.2.0.1 (MAC 02:00:00:0b:00:01)
//   hostB    eth0 10.2.0.10/24, route to 10.1.0.0/24 via 10.2.0.1
//
// A host reaches the other LANs only through its virtual router (the tunnel end on its router);
// its eth0 has segmentation and checksum offloads off, like a host behind a real wire; the WAN
// devices have UDP segmentation offload off, so captures on the WAN see wire datagrams. Routers do
// not forward IP themselves: only the tunnel carries traffic between the LANs. Namespaces are
// named "<tag>-hostA", "<tag>-routerA" and so on, with a tag unique to this fixture, so two
// fixtures can exist side by side. The LANs and WAN links are the tables below: a third LAN (a
// hub and two branches) is one more row in each. Created and used from the test's thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/NetNamespace.h"

namespace testsupport {

class CLanTopology {
  public:
    // One LAN: a host and the router whose tunnel end is the host's gateway to every other LAN.
    struct Lan {
        const char* name;           // "A": namespaces <tag>-hostA and <tag>-routerA
        const char* subnet;         // x.y.z.0, /24
        const char* host;           // on the host's eth0
        const char* router;         // on the router's lan0
        const char* virtualRouter;  // the tunnel end's address on the LAN
        const char* virtualMac;     // and its MAC
    };
    // A point-to-point link between two routers, /30.
    struct Wan {
        int a;
        const char* deviceA;
        const char* addressA;
        int b;
        const char* deviceB;
        const char* addressB;
    };
    enum Side { kA = 0, kB = 1 };  // positions in kLans

    static constexpr Lan kLans[] = {
        {"A", "10.1.0.0", "10.1.0.10", "10.1.0.2", "10.1.0.1", "02:00:00:0a:00:01"},
        {"B", "10.2.0.0", "10.2.0.10", "10.2.0.2", "10.2.0.1", "02:00:00:0b:00:01"},
    };
    static constexpr Wan kWans[] = {{kA, "wan0", "10.99.0.1", kB, "wan0", "10.99.0.2"}};
    static constexpr int kLanCount = sizeof kLans / sizeof kLans[0];

    static constexpr const char* kHostA = kLans[kA].host;
    static constexpr const char* kHostB = kLans[kB].host;
    static constexpr const char* kVirtualA = kLans[kA].virtualRouter;
    static constexpr const char* kVirtualB = kLans[kB].virtualRouter;
    static constexpr const char* kMacA = kLans[kA].virtualMac;
    static constexpr const char* kMacB = kLans[kB].virtualMac;
    static constexpr const char* kWanA = kWans[0].addressA;
    static constexpr const char* kWanB = kWans[0].addressB;
    static constexpr int kPort = 27659;  // the tunnel's port at both ends (UDP and TCP)

    CLanTopology();
    virtual ~CLanTopology();
    CLanTopology(const CLanTopology&) = delete;
    CLanTopology& operator=(const CLanTopology&) = delete;

    bool Ok() const { return m_ok; }
    const std::string& Tag() const { return m_tag; }
    CNetNamespace& Host(int lan) { return *m_hosts[static_cast<std::size_t>(lan)]; }
    CNetNamespace& Router(int lan) { return *m_routers[static_cast<std::size_t>(lan)]; }

    // Runs `work` on this thread while it sits in `ns`.
    static void Inside(const CNetNamespace& ns, const std::function<void()>& work);

    // One echo (-W 1) from a LAN's host to an address.
    bool PingOnce(int from, const std::string& to, int size = 56);
    // Echoes from a host to an address, one a second, until one is answered or `seconds` pass.
    bool PingUntil(int from, const std::string& to, int seconds, int size = 56);
    // The MAC of a host's eth0, as text.
    std::string HostMac(int lan);

    // Deletes a router's LAN card (lan0, and with it the host's eth0 on the other end of the
    // wire), remembering both MACs; then creates the pair again as it was: same names, MACs,
    // addresses, routes and offloads, under new interface indexes.
    bool RemoveLanCard(int lan);
    bool AddLanCardAgain(int lan);

    // Sends 1400-byte UDP datagrams from inside `ns` to `to`, port 9, about 4000 a second,
    // until `stop` is set or `maxSeconds` have passed. Runs on the calling thread.
    static void Flood(const CNetNamespace& ns, const std::string& to, const std::atomic<bool>& stop,
                      int maxSeconds);

    // `megabytes` of random bytes from host A to host B and as many from B to A, at the same
    // time, over nc (every process bounded by `timeoutSeconds`). The SHA-256 lines of what A
    // sent, what B received, what B sent and what A received (empty when the transfer could not
    // run); `seconds` gets the wall time of the transfer.
    std::vector<std::string> TransferBothWays(int megabytes, int timeoutSeconds, double* seconds);

  private:
    bool Build();
    // The host-router wire of one LAN, with its addresses, routes and offloads; `macs` (host's
    // eth0, router's lan0) when given.
    bool ConnectLan(int lan, const std::string* macs = nullptr);

    std::string m_tag;
    std::vector<std::unique_ptr<CNetNamespace>> m_hosts, m_routers;
    std::string m_removedMacs[kLanCount][2];  // host's eth0, router's lan0 (RemoveLanCard)
    bool m_ok = false;
};

}  // namespace testsupport
