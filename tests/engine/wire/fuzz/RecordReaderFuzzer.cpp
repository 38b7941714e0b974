// libFuzzer target: a TCP byte stream, delivered in pieces of fuzzer-chosen sizes, read by
// CRecordReader into a frame buffer of exactly 65540 bytes (AddressSanitizer catches any byte
// written past it). Every event is checked against an independent model of the stream.
//
// Input: byte 0 seeds the piece sizes, the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/wire/WireFormat.h"

namespace {

constexpr std::size_t kFrame = 65540;
constexpr std::uint32_t kLongestFitting = kFrame - 14;  // 65526

struct Expected {
    enum Kind { kKeepAlive, kPacket, kBad } kind;
    std::size_t offset;  // of the packet's first byte in the stream
    std::uint32_t length;
};

// What a reader must report for this stream, worked out straight from the format.
std::vector<Expected> Model(const std::uint8_t* s, std::size_t n) {
    std::vector<Expected> out;
    std::size_t at = 0;
    while (n - at >= 4) {
        std::uint32_t length = std::uint32_t(s[at]) | std::uint32_t(s[at + 1]) << 8 |
                               std::uint32_t(s[at + 2]) << 16 | std::uint32_t(s[at + 3]) << 24;
        at += 4;
        if (length == 0) {
            out.push_back({Expected::kKeepAlive, at, 0});
        } else if (length > kLongestFitting) {
            out.push_back({Expected::kBad, at, length});  // the reader starts a new length
        } else if (n - at >= length) {
            out.push_back({Expected::kPacket, at, length});
            at += length;
        } else {
            break;
        }
    }
    return out;
}

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    std::uint32_t seed = data[0];
    const std::uint8_t* stream = data + 1;
    std::size_t length = size - 1;

    std::vector<Expected> expected = Model(stream, length);
    std::size_t next = 0;

    // Exactly 65540 bytes on the heap: one byte more written is an ASan report.
    std::uint8_t* frame = new std::uint8_t[kFrame];
    wire::CRecordReader reader(frame);
    std::size_t at = 0;
    while (at < length) {
        seed = seed * 1103515245u + 12345u;
        int piece = 1 + static_cast<int>((seed >> 16) % ((seed & 1) ? 7 : 70000));
        int wanted = reader.Wanted();
        Check(wanted >= 1);
        std::uint8_t* to = reader.WritePosition();
        int n = piece < wanted ? piece : wanted;
        if (static_cast<std::size_t>(n) > length - at) n = static_cast<int>(length - at);
        Check(to >= frame + 10 && to + n <= frame + kFrame);
        std::memcpy(to, stream + at, static_cast<std::size_t>(n));
        at += static_cast<std::size_t>(n);
        wire::CRecordReader::Event event = reader.Advance(n);
        if (event == wire::CRecordReader::Event::kNone) continue;
        Check(next < expected.size());
        const Expected& e = expected[next++];
        switch (event) {
            case wire::CRecordReader::Event::kKeepAlive:
                Check(e.kind == Expected::kKeepAlive);
                break;
            case wire::CRecordReader::Event::kBadLength:
                Check(e.kind == Expected::kBad && reader.PacketLength() == e.length);
                break;
            case wire::CRecordReader::Event::kPacket:
                Check(e.kind == Expected::kPacket && reader.PacketLength() == e.length);
                Check(std::memcmp(frame + 14, stream + e.offset, e.length) == 0);
                break;
            case wire::CRecordReader::Event::kNone:
                break;
        }
        Check(reader.ReadingLength() && reader.Wanted() == 4);
    }
    Check(next == expected.size());
    delete[] frame;
    return 0;
}
