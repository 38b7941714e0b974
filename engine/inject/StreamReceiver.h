// Receives the TCP stream from the link: many units per receive, each taken by the framing
// (records or sealed frames) where it landed. A new connection starts at a unit boundary,
// whatever the last one left half read; a broken stream or a failed receive recovers the
// connection it came from, never one that has replaced it meanwhile.
// Owned by CTunnelToLan in the TCP modes; the injector's thread only.
#pragma once

#include <cstdint>

#include "engine/inject/TunnelReceiver.h"

class CInjectionPath;
class CStreamFraming;
class CTcpLink;
class CWorkerThread;

class CStreamReceiver : public CTunnelReceiver {
  public:
    // All not owned; they outlive the receiver. `thread` is the injector, whose stop request is
    // looked at between units.
    CStreamReceiver(CTcpLink& link, CStreamFraming& framing, CInjectionPath& path,
                    CWorkerThread& thread);

    void Begin() override;
    void Step() override;
    void End() override {}

  private:
    // Takes the units already buffered; false when the step ends there.
    bool TakeBuffered();
    // Drops what is buffered and recovers the connection the bytes came from.
    void Break();

    CTcpLink& m_link;
    CStreamFraming& m_framing;
    CInjectionPath& m_path;
    CWorkerThread& m_thread;
    // The link connection the buffered bytes belong to.
    std::uint32_t m_generation = 0;
    // After a receive that filled what it asked for, more bytes are likely waiting: the next
    // step reads at once and waits for readiness only when a receive finds nothing.
    bool m_mayHaveData = false;
};
