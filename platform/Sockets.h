// Winsock-shaped stand-ins on POSIX sockets, so that the link and the packet workers keep the
// shape they were written in: SOCKET handles, INVALID_SOCKET, SOCKET_ERROR, closesocket, a
// non-blocking switch, WSAGetLastError with WSAEWOULDBLOCK, and readiness waits. Any thread.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

// Typed names with the values libpcap's macros of the same names have; platform/Pcap.h takes
// those macros back, so the two headers may be included in either order.
using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
constexpr int WSAEWOULDBLOCK = 10035;

// Closes a socket handle; the result is not examined by callers.
int closesocket(SOCKET s);

// The error of the last failed socket call on this thread; EAGAIN/EWOULDBLOCK/EINPROGRESS read
// as WSAEWOULDBLOCK, every other error as its errno value.
int WSAGetLastError();

namespace platform {

// ioctlsocket(FIONBIO): true when the mode was set.
bool SetNonBlocking(SOCKET s, bool nonBlocking);

// One socket's readiness, as select() on a set holding that socket alone would report it:
// 1 ready, 0 time-out, SOCKET_ERROR on failure. Uses poll(), so any descriptor value works.
int WaitReadable(SOCKET s, int milliseconds);
int WaitWritable(SOCKET s, int milliseconds);
// Waits for `s` to be readable or `wake` (an eventfd or pipe, INVALID_SOCKET for none) to be
// signalled: 1 when `s` is readable, 0 on time-out or when only `wake` is, SOCKET_ERROR when
// waiting on `s` failed. With `s` INVALID_SOCKET it waits on `wake` alone (0 or SOCKET_ERROR).
int WaitReadableOrWoken(SOCKET s, SOCKET wake, int milliseconds);

// send() that never raises SIGPIPE on a connection the peer has closed.
long SendNoSignal(SOCKET s, const void* data, std::size_t length);

// Socket library start-up and release (WSAStartup/WSACleanup): POSIX sockets need neither, so
// start-up always succeeds (0). SIGPIPE is left alone: every send on a connected socket passes
// MSG_NOSIGNAL (SendNoSignal, CTcpLink::SendAll), so a closed connection gives an error instead.
int SocketStartup();
void SocketCleanup();

}  // namespace platform
