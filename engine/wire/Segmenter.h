// Turns one captured IPv4 packet back into packets that fit the LAN's MTU. Linux captures see
// frames that the adapter or the kernel merged (GRO/LRO, up to 64 KiB); such a packet cannot be
// injected on the far LAN, so it is cut again the way the kernel's own segmentation would:
// TCP into MSS-sized segments, other protocols into IPv4 fragments (DF clear) or dropped (DF set).
// A packet that fits is handed back as it is, pointer and bytes unchanged.
//
// Owned by one packet worker (the forwarder or the injector), which creates it once with the MTU
// it read at start; Begin and Next are called from that worker's thread only. Pure code: no I/O,
// one buffer allocated by the constructor, nothing allocated per packet.
//
// Use:
//     if (m_segmenter.Begin(packet, length, frameHeader) != CSegmenter::Action::kDrop)
//         for (CSegmenter::Segment s; m_segmenter.Next(s);) Send(s.packet, s.length);
//
// Built segments sit in the unit's buffer behind kHeadroom writable bytes: a copy of the 14-byte
// frame header given to Begin (zeros without one), so `s.packet - 14` is a whole Ethernet frame.
// A packet handed back unchanged is the caller's own bytes; `s.headroom` is null then.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/wire/WireFormat.h"

class CSegmenter {
  public:
    enum class Action {
        kPass,      // fits the MTU (or its IP total length does): one segment, the caller's bytes
        kSegment,   // TCP cut into segments
        kFragment,  // cut into IPv4 fragments
        kDrop,      // malformed, DF set, or cannot be cut for this MTU: no segment at all
    };

    struct Segment {
        const std::uint8_t* packet = nullptr;  // IPv4 packet, from its IP header on
        int length = 0;                        // bytes at `packet`, at most the MTU unless kPass
        // The kHeadroom bytes right in front of `packet`, which the caller may overwrite until
        // the next Next or Begin (e.g. a 4-byte record length at headroom + 10); null for kPass.
        std::uint8_t* headroom = nullptr;
    };

    // Running totals since construction, for traces and tests (the worker's thread only).
    struct Totals {
        std::uint64_t passed = 0;      // packets handed back unchanged
        std::uint64_t segmented = 0;   // TCP packets cut
        std::uint64_t fragmented = 0;  // packets fragmented
        std::uint64_t dropped = 0;     // packets dropped
        std::uint64_t packetsOut = 0;  // segments handed out by Next
        std::uint64_t bytesOut = 0;    // their bytes (Segment::length, no frame header)
    };

    static constexpr int kHeadroom = wire::kEthernetHeaderSize;
    static constexpr int kMaxIpPacket = 65535;  // the IPv4 total length field's limit

    // `mtu` is the largest IPv4 packet the LAN takes (the interface MTU, 1500 on Ethernet).
    // Values above 65535 act as 65535; a value too small to cut a packet makes it a kDrop.
    explicit CSegmenter(int mtu);

    CSegmenter(const CSegmenter&) = delete;
    CSegmenter& operator=(const CSegmenter&) = delete;

    int Mtu() const { return m_mtu; }

    // Starts on one packet: `length` bytes at `packet`, which must stay valid and unchanged until
    // the last Next. `frameHeader` (14 bytes, or null) is copied in front of every built segment.
    // Never reads outside packet[0, length) nor frameHeader[0, 14).
    Action Begin(const std::uint8_t* packet, int length, const std::uint8_t* frameHeader = nullptr);

    // Hands out the next segment; false when none is left (then, at once, after kDrop). A built
    // segment's bytes are valid until the next Next or Begin.
    bool Next(Segment& segment);

    // Of the packet given to the last Begin: how many segments it yields, and their total bytes.
    int SegmentCount() const { return m_count; }
    int SegmentBytes() const { return m_bytes; }

    const Totals& GetTotals() const { return m_totals; }

  private:
    bool PlanSegments();
    bool PlanFragments();
    void BuildSegment(int index);
    void BuildFragment(int index);

    int m_mtu;
    // kHeadroom + kMaxIpPacket bytes, allocated once: the frame header, then the segment built
    // last.
    std::unique_ptr<std::uint8_t[]> m_buffer;
    Totals m_totals;

    // The packet in hand, set by Begin.
    const std::uint8_t* m_packet = nullptr;
    Action m_action = Action::kDrop;
    int m_total = 0;       // bytes that count: the IP total length for a cut packet
    int m_headerSize = 0;  // IP header bytes (IHL * 4)
    int m_tcpHeader = 0;   // TCP header bytes (data offset * 4), TCP segmentation only
    int m_firstChunk = 0;  // payload bytes per segment or fragment; the last takes the rest
    int m_laterChunk = 0;  // fragments after the first (their header may be shorter)
    int m_laterHeaderSize = 0;
    std::uint8_t m_laterHeader[60] = {};  // IP header of fragments after the first
    int m_count = 0;                      // segments of this packet
    int m_bytes = 0;                      // their bytes
    int m_next = 0;                       // index of the segment Next hands out next
};
