// One way packets arrive from the tunnel (the TCP stream, or UDP datagrams): the injector's
// thread runs one step after another, each bounded by a 250 ms readiness wait, and every whole
// packet goes to the one injection path (CInjectionPath).
// Owned by CTunnelToLan, made for its mode before Launch; the injector's thread calls all three.
#pragma once

class CTunnelReceiver {
  public:
    virtual ~CTunnelReceiver() = default;
    virtual void Begin() = 0;  // at the start of a run, once the card is open
    virtual void Step() = 0;
    virtual void End() = 0;  // at the end of a run
};
