// IPv4 socket addresses for tests, built in one line. Header-only; any thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

namespace testsupport {

// `ip` in dotted form (an unparsable text gives 0.0.0.0), `port` in host order.
inline sockaddr_in SocketAddress(const char* ip, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, ip, &address.sin_addr);
    return address;
}

inline sockaddr_in Loopback(int port) {
    return SocketAddress("127.0.0.1", port);
}

}  // namespace testsupport
