#include "tests/engine/TwoLans.h"

#include <arpa/inet.h>

#include <string>

#include "platform/Pcap.h"
#include "tests/support/SocketAddress.h"

namespace forwardtest {

namespace {

std::uint32_t HostOrder(const char* dotted) {
    return ntohl(testsupport::SocketAddress(dotted, 0).sin_addr.s_addr);
}

}  // namespace

struct CTwoLans::AdapterRecord {
    explicit AdapterRecord(const char* ip)
        : address(testsupport::SocketAddress(ip, 0)),
          netmask(testsupport::SocketAddress("255.255.255.0", 0)) {
        entry.addr = reinterpret_cast<sockaddr*>(&address);
        entry.netmask = reinterpret_cast<sockaddr*>(&netmask);
        record.name = name.data();
        record.addresses = &entry;
    }
    std::string name = "lan0";
    sockaddr_in address;
    sockaddr_in netmask;
    pcap_addr entry{};
    pcap_if_t record{};
};

CTwoLans::CTwoLans() {
    for (Side side : {kA, kB})
        m_adapters[side] = std::make_unique<AdapterRecord>(kLans[side].router);
}

CTwoLans::~CTwoLans() = default;

CTunnelEngine::Settings CTwoLans::Settings(Side side, CTunnelEngine::Mode mode) {
    const Lan& here = kLans[side];
    const Lan& there = kLans[side == kA ? kB : kA];
    CTunnelEngine::Settings s;
    s.thisSubnet = HostOrder(here.subnet);
    s.thisMask = Ip(255, 255, 255, 0);
    s.otherSubnet = HostOrder(there.subnet);
    s.otherMask = Ip(255, 255, 255, 0);
    s.tunnelAddress = HostOrder(side == kA ? kWanB : kWanA);
    s.tunnelPort = kPort;
    s.listenPort = kPort;
    s.virtualAddress = HostOrder(here.virtualRouter);
    s.virtualMac = here.virtualMac;
    s.adapter = &m_adapters[side]->record;
    s.respond = true;
    if (mode == CTunnelEngine::Mode::kUdp) {
        s.mode = mode;
    } else {
        s.mode =
            side == kA ? CTunnelEngine::Mode::kTcpInitiator : CTunnelEngine::Mode::kTcpListener;
    }
    return s;
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

bool CTwoLans::StartPair(CTunnelEngine::Mode mode, std::unique_ptr<CTunnelEngine>& a,
                         std::unique_ptr<CTunnelEngine>& b) {
    a = Construct(kA);
    b = Construct(kB);
    if (!a || !b) return false;
    a->SetSettings(Settings(kA, mode));
    b->SetSettings(Settings(kB, mode));
    return Start(kB, *b) && Start(kA, *a) && PingUntil(kA, kHostB, 15);
}

}  // namespace forwardtest
