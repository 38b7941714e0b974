// The forwarder's second capture on its card, for frames merged beyond the MTU (GRO or LRO on
// the card, a peer's segmentation offload on a virtual wire). The forwarder's own capture has
// slots of the card's MTU, so that its ring holds thousands of frames in a few megabytes rather
// than a few hundred in 64 KB slots; a merged frame reaches it cut short, in its place among the
// others. This capture, whose filter takes only frames longer than that cut, holds the same
// frame whole, and Take hands it over in that place: the forwarder's capture alone decides the
// order, so the packets of a flow never change it.
// Owned by CLanToTunnel (a member); opened, used and closed on the forwarder's thread only.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Pcap.h"

class CMergedCapture {
  public:
    // One captured frame as both captures describe it.
    struct Mark {
        std::int64_t seconds = 0;
        std::int64_t fraction = 0;  // of a second, in the captures' common unit
        std::uint32_t length = 0;   // on the wire (or as merged)
        std::uint32_t captured = 0;
        const std::uint8_t* bytes = nullptr;
    };
    enum class Order { kSame, kEarlier, kLater };

    // Where `head`, the oldest frame this capture holds, stands against `wanted`, the cut frame
    // the forwarder's capture shows: the same frame (same length, the same bytes as far as the
    // cut one goes), one from before it (the forwarder's ring had no room for it: it is passed
    // over), or one from after it (this ring had no room for the wanted one: it is kept for
    // later). A frame is handed to this capture before the forwarder's (opened later, it comes
    // first in the kernel's list), so a different frame stamped no later than the wanted one
    // counts as earlier. Pure.
    static Order Compare(const Mark& wanted, const Mark& head);

    // Frames this capture's ring holds: 64 KB each.
    static constexpr int kRingFrames = 128;
    static constexpr int kSnapLength = 65536;

    CMergedCapture() = default;
    ~CMergedCapture() { Close(); }
    CMergedCapture(const CMergedCapture&) = delete;
    CMergedCapture& operator=(const CMergedCapture&) = delete;

    // Opens a capture of `adapter` with `filter` (the forwarder's own) for the frames longer
    // than `cutLength`, the forwarder's snapshot length, with nanosecond stamps as the
    // forwarder's capture must have too. False, nothing open, when that fails; `errorText`
    // (PCAP_ERRBUF_SIZE bytes) then says why.
    bool Open(const pcap_if_t* adapter, const char* filter, int cutLength, char* errorText);
    // Takes over `capture`, already open and filtered (a savefile in tests), as if Open had
    // opened it.
    void Adopt(pcap_t* capture);
    void Close();
    bool IsOpen() const { return m_capture != nullptr; }

    using Deliver = void (*)(void* user, const std::uint8_t* frame, std::uint32_t length);
    // Finds the whole frame for the cut one that the forwarder's capture shows (`header` and
    // `data` from its ring) and calls `deliver` with it (valid during the call), returning
    // true; false when this capture does not hold it (a ring had no room), counted as lost.
    // Looks at most at the frames this ring holds; never waits.
    bool Take(const pcap_pkthdr& header, const std::uint8_t* data, Deliver deliver, void* user);
    // Cut frames whose whole was not found since the capture was made.
    std::uint64_t Lost() const { return m_lost; }

  private:
    enum class Outcome { kNone, kDelivered, kPassedOver, kKept, kCutToo };
    static void OnFrame(u_char* user, const pcap_pkthdr* header, const u_char* data);
    static Mark MarkOf(const pcap_pkthdr& header, const std::uint8_t* data);

    pcap_t* m_capture = nullptr;
    // A frame from after a lost one, kept until the forwarder's capture reaches it; allocated
    // once at the first Open, never per packet.
    std::unique_ptr<std::uint8_t[]> m_pending;
    Mark m_pendingMark;
    bool m_hasPending = false;
    // The current Take's frame and receiver, for OnFrame.
    Mark m_wanted;
    Deliver m_deliver = nullptr;
    void* m_user = nullptr;
    Outcome m_outcome = Outcome::kNone;
    std::uint64_t m_lost = 0;
};
