// libFuzzer target for CSegmenter. Input: 2 bytes choosing the MTU, 1 byte of flags, then the
// packet (see below). Checks every segment against the input: it fits the MTU, lies in its buffer,
// carries its own length and a good header checksum, and the segments' payloads put together are
// the input's payload.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/wire/Segmenter.h"
#include "tests/support/InternetChecksum.h"

namespace {

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)

int Get16(const std::uint8_t* at) {
    return at[0] << 8 | at[1];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3 || size > 3 + 65535) return 0;
    // Control bytes. MTU: with the top bit set, any value (less 100, so that negative and tiny
    // MTUs occur); otherwise 28..1527, where cutting happens. Flags: bit 0 asks for a frame
    // header; bit 1 makes the IP total length match the packet and bit 2 the version 4, so that
    // well-formed packets, which random bytes rarely are, get cut often.
    const int selector = Get16(data);
    const int mtu = (selector & 0x8000) != 0 ? (selector & 0x7FFF) - 100 : 28 + selector % 1500;
    const bool withHeader = (data[2] & 1) != 0;
    const int length = static_cast<int>(size - 3);
    // An exact-size copy, so that any read past the packet is reported.
    std::vector<std::uint8_t> packet(data + 3, data + size);
    if ((data[2] & 2) != 0 && length >= 4) {
        packet[2] = static_cast<std::uint8_t>(length >> 8);
        packet[3] = static_cast<std::uint8_t>(length);
    }
    if ((data[2] & 4) != 0 && length >= 1)
        packet[0] = static_cast<std::uint8_t>(0x40 | (packet[0] & 0x0F));
    const std::vector<std::uint8_t> before = packet;
    static const std::uint8_t kHeader[14] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 8, 0};
    static const std::uint8_t kZeros[14] = {};
    CSegmenter segmenter(mtu);
    const CSegmenter::Action action =
        segmenter.Begin(packet.data(), length, withHeader ? kHeader : nullptr);

    const int ihl = length > 0 ? (packet[0] & 0x0F) * 4 : 0;
    int count = 0;
    long bytes = 0;
    int payloadDone = 0;  // input payload bytes matched so far
    int expectedOffset = 0;
    CSegmenter::Segment s;
    while (segmenter.Next(s)) {
        ++count;
        bytes += s.length;
        FUZZ_CHECK(count <= 65535);
        if (action == CSegmenter::Action::kPass) {
            FUZZ_CHECK(s.packet == packet.data() && s.headroom == nullptr);
            FUZZ_CHECK(s.length == length ||
                       (length > mtu && s.length < length && s.length <= mtu));
            continue;
        }
        FUZZ_CHECK(action != CSegmenter::Action::kDrop);
        FUZZ_CHECK(s.length <= mtu && s.length >= 20);
        FUZZ_CHECK(s.headroom != nullptr && s.packet == s.headroom + CSegmenter::kHeadroom);
        FUZZ_CHECK(std::memcmp(s.headroom, withHeader ? kHeader : kZeros, 14) == 0);
        const std::uint8_t* p = s.packet;
        const int hl = (p[0] & 0x0F) * 4;
        FUZZ_CHECK((p[0] >> 4) == 4 && hl >= 20 && hl <= s.length);
        FUZZ_CHECK(Get16(p + 2) == s.length);
        FUZZ_CHECK(testsupport::ChecksumHolds(p, static_cast<std::size_t>(hl)));
        FUZZ_CHECK(std::memcmp(p + 12, packet.data() + 12, 8) == 0);
        if (action == CSegmenter::Action::kSegment) {
            const int thl = (p[hl + 12] >> 4) * 4;
            FUZZ_CHECK(hl == ihl && std::memcmp(p + hl, packet.data() + ihl, 4) == 0);
            const int chunk = s.length - hl - thl;
            FUZZ_CHECK(chunk > 0);
            FUZZ_CHECK(std::memcmp(p + hl + thl, packet.data() + ihl + thl + payloadDone,
                                   static_cast<std::size_t>(chunk)) == 0);
            payloadDone += chunk;
        } else {
            const int fo = Get16(p + 6);
            if (count == 1) expectedOffset = (Get16(packet.data() + 6) & 0x1FFF) * 8;
            FUZZ_CHECK((fo & 0x1FFF) * 8 == expectedOffset);
            const int chunk = s.length - hl;
            FUZZ_CHECK(chunk > 0);
            FUZZ_CHECK(std::memcmp(p + hl, packet.data() + ihl + payloadDone,
                                   static_cast<std::size_t>(chunk)) == 0);
            payloadDone += chunk;
            expectedOffset += chunk;
        }
    }
    FUZZ_CHECK(count == segmenter.SegmentCount() && bytes == segmenter.SegmentBytes());
    FUZZ_CHECK(action != CSegmenter::Action::kDrop || count == 0);
    FUZZ_CHECK(action == CSegmenter::Action::kDrop || count >= 1);
    if (action == CSegmenter::Action::kSegment || action == CSegmenter::Action::kFragment) {
        // The whole payload, up to the IP total length, was carried, and nothing else.
        const int total = Get16(packet.data() + 2);
        const int headers =
            action == CSegmenter::Action::kSegment ? ihl + (packet[ihl + 12] >> 4) * 4 : ihl;
        FUZZ_CHECK(payloadDone == total - headers);
    }
    FUZZ_CHECK(packet == before);  // the input is only read
    return 0;
}
