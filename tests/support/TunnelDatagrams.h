// The UDP datagrams the tunnel's far end expects for given packets, written out byte by byte
// (header byte: fragment index, top bit on the last; then up to 1400 bytes of the packet), and
// the datagrams a segmented send becomes: the tests' golden sequences for what the forwarder
// puts on the wire. Pure functions, any thread.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

using Datagrams = std::vector<std::string>;

// The datagrams of each packet in turn.
Datagrams ExpectedDatagrams(const std::vector<std::string>& packets);
// The bytes a message's iovecs gather.
std::string Gathered(const msghdr& message);
// The datagrams the kernel makes of one message: with a UDP_SEGMENT control message, its bytes
// cut at that size; without, one datagram. `segmentSize`, when given, gets the size (0: none).
Datagrams CutAtSegmentSize(const msghdr& message, int* segmentSize = nullptr);

}  // namespace testsupport
