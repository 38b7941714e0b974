#include "platform/PcapCompat.h"

#include <linux/ethtool.h>
#include <linux/if_packet.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform/Trace.h"

namespace platform {
namespace {

void CopyError(char* errorText, const char* text) {
    std::snprintf(errorText, PCAP_ERRBUF_SIZE, "%s", text);
}

OpenFailure Classify(int status) {
    switch (status) {
        case PCAP_ERROR_PERM_DENIED:
            return OpenFailure::kNoPrivileges;
        case PCAP_ERROR_NO_SUCH_DEVICE:
            return OpenFailure::kNoSuchCard;
        case PCAP_ERROR_IFACE_NOT_UP:
            return OpenFailure::kCardDown;
        default:
            return OpenFailure::kOther;
    }
}

void SetFailure(OpenFailure* failure, OpenFailure value) {
    if (failure != nullptr) *failure = value;
}

// Activation failures keep the library's words; a warning (positive result) is not a failure.
pcap_t* Activate(pcap_t* handle, char* errorText, OpenFailure* failure) {
    int status = pcap_activate(handle);
    if (status < 0) {
        SetFailure(failure, Classify(status));
        if (status == PCAP_ERROR) {
            CopyError(errorText, pcap_geterr(handle));
        } else {
            std::snprintf(errorText, PCAP_ERRBUF_SIZE, "%s: %s", pcap_statustostr(status),
                          pcap_geterr(handle));
        }
        pcap_close(handle);
        return nullptr;
    }
    return handle;
}

}  // namespace

pcap_t* OpenLiveCapture(const char* device, int snapLength, bool promiscuous, int readTimeoutMs,
                        char* errorText, int bufferBytes, OpenFailure* failure,
                        bool nanoTimestamps) {
    errorText[0] = '\0';
    SetFailure(failure, OpenFailure::kOther);
    pcap_t* handle = pcap_create(device, errorText);
    if (handle == nullptr) return nullptr;
    if (pcap_set_snaplen(handle, snapLength) != 0 ||
        pcap_set_promisc(handle, promiscuous ? 1 : 0) != 0 ||
        pcap_set_timeout(handle, readTimeoutMs) != 0 || pcap_set_immediate_mode(handle, 1) != 0 ||
        (bufferBytes > 0 && pcap_set_buffer_size(handle, bufferBytes) != 0)) {
        CopyError(errorText, pcap_geterr(handle));
        pcap_close(handle);
        return nullptr;
    }
    // Refused where the system has only microseconds: those then stand.
    if (nanoTimestamps) pcap_set_tstamp_precision(handle, PCAP_TSTAMP_PRECISION_NANO);
    handle = Activate(handle, errorText, failure);
    if (handle == nullptr) return nullptr;
    if (pcap_setnonblock(handle, 1, errorText) != 0 || pcap_get_selectable_fd(handle) < 0) {
        if (errorText[0] == '\0') CopyError(errorText, "no selectable descriptor");
        pcap_close(handle);
        return nullptr;
    }
    SetFailure(failure, OpenFailure::kNone);
    return handle;
}

pcap_t* OpenFilteredCapture(const pcap_if_t* adapter, const char* filter,
                            const CaptureOptions& options, bool* filtered, OpenFailure* failure,
                            char* errorText) {
    *filtered = false;
    const char* name = adapter != nullptr ? adapter->name : nullptr;
    char ownText[PCAP_ERRBUF_SIZE];
    if (errorText == nullptr) errorText = ownText;
    std::snprintf(errorText, PCAP_ERRBUF_SIZE, "no adapter chosen");
    SetFailure(failure, OpenFailure::kNoSuchCard);
    pcap_t* capture =
        name != nullptr
            ? OpenLiveCapture(name, options.snapLength, options.promiscuous, options.readTimeoutMs,
                              errorText, options.bufferBytes, failure, options.nanoTimestamps)
            : nullptr;
    if (capture == nullptr) {
        if (name == nullptr) name = "(none)";
        Trace("\nUnable to open the adapter. %s is not supported by WinPcap\n", name);
        // Most often missing privileges: the operator needs the library's own words.
        if (failure == nullptr) {
            std::fprintf(stderr, "\nUnable to open the adapter %s: %s\n", name, errorText);
        }
        return nullptr;
    }
    bpf_program program;
    if (pcap_compile(capture, &program, filter, 1, FilterNetmask(adapter)) != 0) {
        std::fprintf(stderr, "\nUnable to compile the packet filter. Check the syntax.\n%s\n",
                     pcap_geterr(capture));
        return capture;
    }
    const int installed = pcap_setfilter(capture, &program);
    pcap_freecode(&program);
    if (installed != 0) {
        std::fprintf(stderr, "\nError setting the filter.\n%s\n", pcap_geterr(capture));
        return capture;
    }
    *filtered = true;
    return capture;
}

namespace {

// One read through `read` (pcap_next_ex or pcap_dispatch: 0 means nothing there), and when
// nothing was there, one wait of at most readTimeoutMs for the handle to become readable and
// one more read.
template <typename Read>
int BoundedRead(pcap_t* capture, int readTimeoutMs, Read read) {
    int result = read();
    if (result != 0) return result;
    pollfd descriptor{pcap_get_selectable_fd(capture), POLLIN, 0};
    int ready = ::poll(&descriptor, 1, readTimeoutMs);
    if (ready < 0) return errno == EINTR ? 0 : PCAP_ERROR;
    if (ready == 0) return 0;
    if (descriptor.revents & (POLLERR | POLLNVAL)) {
        // An interface that went away: let the library report it as a read error.
        result = read();
        return result == 0 ? PCAP_ERROR : result;
    }
    return read();
}

}  // namespace

int NextFrame(pcap_t* capture, pcap_pkthdr** header, const u_char** data, int readTimeoutMs) {
    return BoundedRead(capture, readTimeoutMs, [&] { return pcap_next_ex(capture, header, data); });
}

int DispatchFrames(pcap_t* capture, int maxFrames, pcap_handler handler, u_char* user,
                   int readTimeoutMs) {
    return BoundedRead(capture, readTimeoutMs,
                       [&] { return pcap_dispatch(capture, maxFrames, handler, user); });
}

namespace {

// Whether any of the offloads is on that make the library size ring slots by the snapshot
// length rather than the MTU (segmentation, receive merging). Unknown counts as on.
bool OffloadsOn(int s, const char* device) {
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", device);
    for (std::uint32_t command :
         {ETHTOOL_GTSO, ETHTOOL_GUFO, ETHTOOL_GGSO, ETHTOOL_GFLAGS, ETHTOOL_GGRO}) {
        ethtool_value value{};
        value.cmd = command;
        request.ifr_data = reinterpret_cast<char*>(&value);
        if (::ioctl(s, SIOCETHTOOL, &request) != 0) {
            if (errno == EOPNOTSUPP || errno == EINVAL || errno == EPERM)
                continue;  // as the library reads it
            return true;
        }
        if (command == ETHTOOL_GFLAGS ? (value.data & ETH_FLAG_LRO) != 0 : value.data != 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool CaptureTakesMergedFrames(const char* device) {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return true;
    const bool on = OffloadsOn(s, device);
    ::close(s);
    return on;
}

int CaptureRingBytes(const char* device, int snapLength, int frames) {
    int frameLength = snapLength;
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s >= 0) {
        if (!OffloadsOn(s, device)) {
            const int mtu = InterfaceMtu(device);
            // Ethernet header and CRC, as the library allows for.
            if (mtu > 0 && mtu + 18 < frameLength) frameLength = mtu + 18;
        }
        ::close(s);
    }
    // The slot: the frame header, the link-layer header padded to 16, a VLAN tag's room, then the
    // frame, aligned as the kernel's ring requires.
    const int slot = static_cast<int>(TPACKET_ALIGN(TPACKET_ALIGN(TPACKET2_HDRLEN + 16) + 4 +
                                                    static_cast<unsigned>(frameLength)));
    return slot * frames;
}

pcap_t* OpenSendHandle(const char* device, char* errorText, OpenFailure* failure) {
    errorText[0] = '\0';
    SetFailure(failure, OpenFailure::kOther);
    pcap_t* handle = pcap_create(device, errorText);
    if (handle == nullptr) return nullptr;
    // Smallest capture settings: the handle never reads.
    pcap_set_snaplen(handle, 64);
    pcap_set_buffer_size(handle, 64 * 1024);
    handle = Activate(handle, errorText, failure);
    if (handle == nullptr) return nullptr;
    bpf_insn rejectAll = BPF_STMT(BPF_RET | BPF_K, 0);
    bpf_program program{1, &rejectAll};
    if (pcap_setfilter(handle, &program) != 0) {
        CopyError(errorText, pcap_geterr(handle));
        pcap_close(handle);
        return nullptr;
    }
    pcap_setdirection(handle, PCAP_D_IN);
    SetFailure(failure, OpenFailure::kNone);
    return handle;
}

bpf_u_int32 FilterNetmask(const pcap_if_t* adapter) {
    const pcap_addr_t* first = adapter != nullptr ? adapter->addresses : nullptr;
    if (first == nullptr || first->netmask == nullptr || first->netmask->sa_family != AF_INET) {
        return 0xffffff;
    }
    sockaddr_in netmask;
    std::memcpy(&netmask, first->netmask, sizeof netmask);
    return netmask.sin_addr.s_addr;
}

int InterfaceMtu(const char* device) {
    int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return 0;
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", device);
    int mtu = ::ioctl(s, SIOCGIFMTU, &request) == 0 ? request.ifr_mtu : 0;
    ::close(s);
    return mtu;
}

}  // namespace platform
