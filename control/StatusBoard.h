// The latest status snapshot of one tunnel end, handed from its owner to the status server.
// The owner's thread (the dialog's timer, the daemon's loop) fills a TunnelStatus and publishes
// it; the server's thread copies it out for every answer. Neither ever touches the engine's
// workers through it, so a slow or hostile client costs the packet threads nothing.
// Owned by whoever owns the engine; outlives the CStatusServer that reads it.
#pragma once

#include <mutex>

#include "engine/status/TunnelStatus.h"

class CStatusBoard {
  public:
    // Owner's thread: `status` becomes the snapshot; `status` gets the previous one back (to
    // be filled again without new allocations).
    void Publish(TunnelStatus& status);
    // Any thread: a copy of the snapshot.
    TunnelStatus Read() const;

  private:
    // Guards m_status; held for a swap or a copy, never across a blocking call.
    mutable std::mutex m_mutex;
    TunnelStatus m_status;
};
