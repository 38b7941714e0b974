// Puts Ethernet frames on one interface in batches: a packet socket of its own (it receives
// nothing) with the queueing discipline bypassed, and one sendmmsg for every frame queued. The
// frames are not copied: they must stay put from Add until Send returns.
// Owned by the packet worker that injects (the injector), opened and used on its thread only.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdint>

#include "platform/Sockets.h"

class CPacketBatchSender {
  public:
    static constexpr int kMaxFrames = 64;

    CPacketBatchSender() = default;
    ~CPacketBatchSender();
    CPacketBatchSender(const CPacketBatchSender&) = delete;
    CPacketBatchSender& operator=(const CPacketBatchSender&) = delete;

    // Opens the socket on `device`; false (with errno) when the interface is unknown or the
    // socket cannot be made (no privileges).
    bool Open(const char* device);
    void Close();
    bool IsOpen() const { return m_socket != INVALID_SOCKET; }

    // Queues one frame; false, queueing nothing, when kMaxFrames are queued (Send first).
    bool Add(const std::uint8_t* frame, int length);
    int Queued() const { return m_queued; }

    // Sends every queued frame in order, with one system call when the kernel takes them all,
    // and empties the queue. A frame that fails is not sent again; the ones after it still go.
    // Returns how many failed. `*gone` is set when the interface has disappeared (the socket is
    // then of no further use).
    int Send(bool* gone);

  private:
    SOCKET m_socket = INVALID_SOCKET;
    int m_queued = 0;
    iovec m_parts[kMaxFrames] = {};
    mmsghdr m_messages[kMaxFrames] = {};
};
