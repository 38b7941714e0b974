// libpcap on Linux, shaped the way the packet workers expect a WinPcap live capture to behave:
//  - OpenLiveCapture: pcap_open_live(snaplen, promisc, read time-out) with every frame handed
//    over as soon as it arrives (immediate mode stands in for pcap_setmintocopy(1)), and the
//    handle left non-blocking so that NextFrame can bound a read;
//  - NextFrame: pcap_next_ex whose wait is really bounded by the read time-out (on Linux the
//    library's own time-out does not end a blocking read on a quiet interface);
//  - OpenFilteredCapture: the live capture with its filter installed, the one way the workers
//    open an adapter for reading;
//  - OpenSendHandle: a second handle on the same interface used only to inject frames, so
//    senders never share the reading handle with the thread that reads it.
// A handle is used by one thread at a time unless its owner says otherwise.
#pragma once

#include "platform/Pcap.h"

namespace platform {

// Why a handle could not be opened, in the terms an operator acts on.
enum class OpenFailure {
    kNone,
    kNoPrivileges,  // the capture needs CAP_NET_RAW (PCAP_ERROR_PERM_DENIED)
    kNoSuchCard,    // no interface by that name (PCAP_ERROR_NO_SUCH_DEVICE)
    kCardDown,      // the interface exists but is down (PCAP_ERROR_IFACE_NOT_UP)
    kOther,
};

// Returns an activated handle, or nullptr with the library's error text in `errorText`
// (PCAP_ERRBUF_SIZE bytes) and, when `failure` is given, the kind of failure. `bufferBytes` > 0
// sizes the kernel's capture ring (frames that arrive while it is full are lost); 0 keeps the
// library's default (2 MB).
// `nanoTimestamps`: frames carry nanoseconds in ts.tv_usec where the system gives them (two
// captures of the same card then tell frames microseconds apart), else microseconds as usual.
pcap_t* OpenLiveCapture(const char* device, int snapLength, bool promiscuous, int readTimeoutMs,
                        char* errorText, int bufferBytes = 0, OpenFailure* failure = nullptr,
                        bool nanoTimestamps = false);

// How a worker's capture is opened (see OpenLiveCapture).
struct CaptureOptions {
    int snapLength = 65536;
    bool promiscuous = true;
    int readTimeoutMs = 250;
    int bufferBytes = 0;  // 0: the library's default ring
    bool nanoTimestamps = false;
};

// Opens `adapter` as OpenLiveCapture does, then compiles `filter` (optimised, with
// FilterNetmask(adapter)) and installs it. Every failure is reported here, with the library's
// own words: an adapter that cannot be opened (or none) as a trace line and on standard error,
// returning nullptr; a filter that cannot be compiled or installed on standard error, returning
// the open handle all the same with `*filtered` false, so that the caller decides whether it
// goes on without its filter. A caller that retries passes `failure` (and `errorText`,
// PCAP_ERRBUF_SIZE bytes, optional): an open failure is then only traced and handed back, and
// the caller reports it once rather than at every attempt.
pcap_t* OpenFilteredCapture(const pcap_if_t* adapter, const char* filter,
                            const CaptureOptions& options, bool* filtered,
                            OpenFailure* failure = nullptr, char* errorText = nullptr);

// One frame: 1 with the frame, 0 when `readTimeoutMs` passed without one, negative on an
// error. Drains frames already queued without any extra system call.
int NextFrame(pcap_t* capture, pcap_pkthdr** header, const u_char** data, int readTimeoutMs);

// Hands every frame that the capture ring already holds, up to `maxFrames`, to `handler` (the
// frame's bytes are valid only during that call), waiting up to `readTimeoutMs` when none is
// there. The number of frames handed over, 0 when the time passed without one, negative on an
// error. No copy is made on the way (pcap_next_ex copies each frame out of the ring).
int DispatchFrames(pcap_t* capture, int maxFrames, pcap_handler handler, u_char* user,
                   int readTimeoutMs);

// The ring size (for CaptureOptions::bufferBytes) that holds `frames` frames of an immediate-mode
// capture of `snapLength` on `device`. The library gives every frame a slot of the snapshot
// length when the interface merges or splits frames (any offload on), else of its MTU, so the
// same byte count can mean 500 or 20000 queued frames; counted in frames the queue, and the time
// a packet waits in it under load, stays the same on every card.
int CaptureRingBytes(const char* device, int snapLength, int frames);

// Whether a capture of `device` gets slots of its snapshot length, and so can take frames merged
// beyond the MTU whole: the library sizes slots by the MTU when every offload is off.
bool CaptureTakesMergedFrames(const char* device);

// A handle for pcap_sendpacket only: its kernel filter admits no frame, so it never queues
// traffic. nullptr with the error text (and the kind, when `failure` is given) on failure.
pcap_t* OpenSendHandle(const char* device, char* errorText, OpenFailure* failure = nullptr);

// The netmask handed to the filter compiler: the first address entry's IPv4 netmask as stored
// (network order) when the record has one, else 0xffffff (255.255.255.0 when read in network
// order). A first netmask of another family counts as none.
bpf_u_int32 FilterNetmask(const pcap_if_t* adapter);

// The interface's MTU, or 0 when it cannot be read.
int InterfaceMtu(const char* device);

}  // namespace platform
