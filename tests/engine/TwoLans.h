// The engine harness on the two-LAN topology (tests/support/LanTopology.h, drawn there): one
// CTunnelEngine per router, each created and started inside its router's namespace (Construct,
// Start), so every thread it launches lives there. Used by the forward, GRO and dialog-cycle
// tests from their test thread.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/TunnelEngine.h"
#include "tests/support/LanTopology.h"

namespace forwardtest {

constexpr std::uint32_t Ip(int a, int b, int c, int d) {
    return static_cast<std::uint32_t>(a) << 24 | static_cast<std::uint32_t>(b) << 16 |
           static_cast<std::uint32_t>(c) << 8 | static_cast<std::uint32_t>(d);
}

class CTwoLans : public testsupport::CLanTopology {
  public:
    CTwoLans();
    ~CTwoLans() override;

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

  private:
    // An interface record as the capture library lists it (name, IPv4 address and netmask);
    // defined in the source file, which can include the library after platform/Sockets.h.
    struct AdapterRecord;

    std::unique_ptr<AdapterRecord> m_adapters[2];
};

}  // namespace forwardtest
