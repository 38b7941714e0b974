// The one way the capture library is included. <pcap/pcap.h> defines SOCKET and INVALID_SOCKET
// as macros on UN*X; they are taken back here, so that platform/Sockets.h (whose names are typed)
// may come before or after this header. Include this, never <pcap/pcap.h> itself.
#pragma once

#include <pcap/pcap.h>

#undef SOCKET
#undef INVALID_SOCKET
