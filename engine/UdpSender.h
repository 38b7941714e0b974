// A datagram socket connected to the other end's tunnel address and port: the forwarder's way
// into the tunnel in UDP mode. A member of the forwarder, opened by its constructor, used by the
// forwarder's thread alone and closed by the forwarder's destructor. Sealed mode sends datagrams
// that the forwarder's batch has sealed, and the handshakes the channel asks for, through it.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdint>

#include "engine/WireFormat.h"
#include "platform/Sockets.h"

class CUdpSender {
  public:
    CUdpSender();
    // Closes the socket if Close has not already.
    virtual ~CUdpSender();

    CUdpSender(const CUdpSender&) = delete;
    CUdpSender& operator=(const CUdpSender&) = delete;

    // `address` in host order. Creates the socket and connects it; true when the connect
    // succeeds. The socket stays open when the connect fails.
    bool Open(std::uint32_t address, int port);
    // One send; false only when the send reports SOCKET_ERROR.
    bool Send(const void* data, int length);
    // Sends the whole packet as its fragments, in index order, back to back (one system call
    // for all of them when the kernel takes them all). A fragment whose send fails is not sent
    // again; the ones after it still go. Returns how many fragments failed.
    int SendFragments(const std::uint8_t* packet, int length);
    // Sends prepared datagrams (no address: the socket's) in order, with as few system calls as
    // the kernel allows, one when it takes them all. A datagram whose send fails is not sent
    // again; the ones after it still go. Returns how many failed.
    int SendDatagrams(mmsghdr* messages, int count);
    bool Close();

  private:
    static constexpr int kMaxFragments = 128;  // 7-bit index: never more fragments than this

    SOCKET m_socket;
    sockaddr_in m_destination;
    // Scratch for SendFragments, filled per packet and kept here so that nothing is allocated
    // per packet. The forwarder's thread only.
    std::uint8_t m_headers[kMaxFragments];
    iovec m_parts[kMaxFragments][2];
    mmsghdr m_messages[kMaxFragments];
};
