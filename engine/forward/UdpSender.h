// A datagram socket connected to the other end's tunnel address and port: the forwarder's way
// into the tunnel in UDP mode. A member of the forwarder, opened by its constructor, used by the
// forwarder's thread alone and closed by the forwarder's destructor. Sealed mode sends datagrams
// that the forwarder's batch has sealed, and the handshakes the channel asks for, through it.
// Sends each packet's datagrams as one segmented message (UDP GSO) while the kernel takes them;
// once it refuses, sends them one by one for the rest of the sender's life.
// Attached (the engine's way): no socket of its own; every datagram leaves from the tunnel's
// socket bound to the listen port, addressed to where the other end is now (CUdpPeer), and
// nothing leaves while that is not known.
#pragma once

#include <sys/socket.h>

#include <cstdint>

#include "engine/peer/TunnelSocket.h"
#include "engine/peer/UdpPeer.h"
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
    // Sends from `socket` to `peer`'s destination from now on (both not owned, outliving the
    // sender); closes the socket Open made.
    void Attach(CTunnelSocket* socket, CUdpPeer* peer);
    // One send; false only when the send reports SOCKET_ERROR.
    bool Send(const void* data, int length);
    // Sends prepared datagrams (no address: the socket's) in order, with as few system calls as
    // the kernel allows, one when it takes them all. A datagram whose send fails is not sent
    // again; the ones after it still go. Returns how many failed.
    int SendDatagrams(mmsghdr* messages, int count);
    // Sends `count` segmented messages (each message m standing for datagrams firsts[m] up to
    // firsts[m + 1] of `datagrams`, as CForwardBatch lays them out) with as few system calls as
    // the kernel allows. A message whose send fails is lost, not repeated: all its datagrams
    // count as failed; the ones after it still go. When the kernel refuses segmentation itself
    // (EIO, EINVAL, EMSGSIZE, ENOPROTOOPT, EOPNOTSUPP on a multi-datagram message), says so
    // once on standard error and sends the refused message and every one after it, now and
    // from then on, as single datagrams. Returns how many datagrams failed.
    int SendSegmented(mmsghdr* messages, const int* firsts, int count, mmsghdr* datagrams);
    // False once the kernel has refused a segmented send.
    bool Segmenting() const { return m_segmenting; }
    bool Close();

  protected:
    // One sendmmsg on the socket, as the kernel answers it (the count sent, or -1 and errno).
    // A seam for tests that play a kernel refusing what this one takes.
    virtual int Transmit(mmsghdr* messages, unsigned count);

  private:
    // Attached: puts the destination into each message; false when there is none yet.
    bool Address(mmsghdr* messages, int count);
    // Transmit, repeated while a signal interrupts it before anything was sent.
    int TransmitAll(mmsghdr* messages, int count);

    SOCKET m_socket;
    sockaddr_in m_destination;
    CTunnelSocket* m_tunnel = nullptr;  // attached: not owned
    CUdpPeer* m_peer = nullptr;         // attached: not owned
    bool m_segmenting = true;           // the forwarder's thread only
};
