// One socket of the TCP link, shared by the threads that are in a call on it: the link holds it
// in a field, and SendAll, Receive and the readiness waits hold a copy of the shared pointer for
// the length of their call. Whoever detaches it from the link shuts it down, which wakes every
// holder at once (poll reports it, send fails, recv and a blocking connect return); the handle
// itself is closed by the destructor, when the last holder lets go. So no thread ever uses or
// closes a handle number that the system may already have given to a new socket.
#pragma once

#include "platform/Sockets.h"

class CLinkSocket {
  public:
    explicit CLinkSocket(SOCKET handle) : m_handle(handle) {}
    ~CLinkSocket();
    CLinkSocket(const CLinkSocket&) = delete;
    CLinkSocket& operator=(const CLinkSocket&) = delete;

    SOCKET Handle() const { return m_handle; }
    // Ends both directions (the peer sees the end of the stream) without closing the handle.
    void Shutdown() const;

  private:
    const SOCKET m_handle;
};
