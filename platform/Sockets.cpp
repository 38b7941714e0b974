#include "platform/Sockets.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

int closesocket(SOCKET s) {
    return ::close(s);
}

int WSAGetLastError() {
    int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS) return WSAEWOULDBLOCK;
    return error;
}

namespace platform {
namespace {

int WaitFor(SOCKET s, short events, int milliseconds) {
    if (s < 0) {
        errno = EBADF;
        return SOCKET_ERROR;
    }
    pollfd descriptor{s, events, 0};
    int result;
    do {
        result = ::poll(&descriptor, 1, milliseconds);
    } while (result < 0 && errno == EINTR);
    if (result < 0) return SOCKET_ERROR;
    if (result > 0 && (descriptor.revents & POLLNVAL)) {
        errno = EBADF;
        return SOCKET_ERROR;
    }
    return result;  // POLLERR/POLLHUP count as ready: the next call reports the failure
}

}  // namespace

bool SetNonBlocking(SOCKET s, bool nonBlocking) {
    int flags = ::fcntl(s, F_GETFL, 0);
    if (flags < 0) return false;
    flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(s, F_SETFL, flags) == 0;
}

int WaitReadable(SOCKET s, int milliseconds) {
    return WaitFor(s, POLLIN, milliseconds);
}
int WaitWritable(SOCKET s, int milliseconds) {
    return WaitFor(s, POLLOUT, milliseconds);
}

int WaitReadableOrWoken(SOCKET s, SOCKET wake, int milliseconds) {
    pollfd descriptors[2] = {{s, POLLIN, 0}, {wake, POLLIN, 0}};  // poll skips a negative fd
    int result;
    do {
        result = ::poll(descriptors, 2, milliseconds);
    } while (result < 0 && errno == EINTR);
    if (result < 0) return SOCKET_ERROR;
    if (s < 0) return 0;
    if (descriptors[0].revents & POLLNVAL) {
        errno = EBADF;
        return SOCKET_ERROR;
    }
    return descriptors[0].revents != 0 ? 1 : 0;  // POLLERR/POLLHUP count as ready
}

long SendNoSignal(SOCKET s, const void* data, std::size_t length) {
    return ::send(s, data, length, MSG_NOSIGNAL);
}

int SocketStartup() {
    return 0;
}
void SocketCleanup() {}

}  // namespace platform
