#include "tests/support/TunnelDatagrams.h"

#include <netinet/udp.h>

#include <algorithm>
#include <cstring>

namespace testsupport {

Datagrams ExpectedDatagrams(const std::vector<std::string>& packets) {
    Datagrams out;
    for (const std::string& packet : packets) {
        const std::size_t count = (packet.size() + 1399) / 1400;
        for (std::size_t i = 0; i < count; ++i) {
            const char header = static_cast<char>(i | (i + 1 == count ? 0x80 : 0));
            out.push_back(header + packet.substr(i * 1400, 1400));
        }
    }
    return out;
}

std::string Gathered(const msghdr& message) {
    std::string bytes;
    for (std::size_t i = 0; i < message.msg_iovlen; ++i) {
        bytes.append(static_cast<const char*>(message.msg_iov[i].iov_base),
                     message.msg_iov[i].iov_len);
    }
    return bytes;
}

Datagrams CutAtSegmentSize(const msghdr& message, int* segmentSize) {
    int size = 0;
    for (const cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(c))) {
        if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_SEGMENT &&
            c->cmsg_len == CMSG_LEN(sizeof(std::uint16_t))) {
            std::uint16_t value;
            std::memcpy(&value, CMSG_DATA(c), sizeof value);
            size = value;
        }
    }
    if (segmentSize != nullptr) *segmentSize = size;
    const std::string bytes = Gathered(message);
    if (size == 0) return {bytes};
    Datagrams out;
    for (std::size_t at = 0; at < bytes.size(); at += static_cast<std::size_t>(size)) {
        out.push_back(bytes.substr(at, static_cast<std::size_t>(size)));
    }
    return out;
}

}  // namespace testsupport
