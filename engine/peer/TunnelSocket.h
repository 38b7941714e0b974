// UDP mode's one socket, bound to the listen port: the injector receives on it and the forwarder
// sends from it, so that a NAT in front of this end sees one flow both ways and the other end's
// datagrams find the mapping this end's own made. Owned by CTunnelEngine from Start until both
// workers have been joined at Stop; it is closed only then, so a worker never sends on a closed
// (or reused) descriptor.
// Threads: Bind from either worker (the first that needs the socket makes it; a mutex orders
// the attempts and is held only for the socket, option and bind calls, none of which blocks);
// Handle from either at any time (an atomic).
#pragma once

#include <atomic>
#include <mutex>

#include "platform/Sockets.h"

class CTunnelSocket {
  public:
    explicit CTunnelSocket(int listenPort);
    ~CTunnelSocket();
    CTunnelSocket(const CTunnelSocket&) = delete;
    CTunnelSocket& operator=(const CTunnelSocket&) = delete;

    // The bound socket, making and binding it first if no call has yet; INVALID_SOCKET while the
    // port cannot be had (the next call tries again).
    SOCKET Bind();
    // The bound socket, or INVALID_SOCKET before the first successful Bind.
    SOCKET Handle() const { return m_socket.load(std::memory_order_acquire); }

  private:
    const int m_listenPort;
    std::mutex m_bindMutex;  // orders Bind attempts; never held across a blocking call
    std::atomic<SOCKET> m_socket{INVALID_SOCKET};  // set once, closed by the destructor
};
