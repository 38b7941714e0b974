// libFuzzer target: a TCP byte stream, received in pieces of fuzzer-chosen sizes into
// CRecordStream as the injector receives it, every packet's 14 header bytes overwritten as the
// injector writes the Ethernet header. The stream's one buffer is on the heap, so AddressSanitizer
// catches any byte read or written outside it. Every event is checked against an independent
// model of the stream; after a bad length the stream is restarted and the bytes not yet received
// are read as a new connection.
//
// Input: byte 0 seeds the piece sizes (bit 7: the smallest buffer, else one of three largest
// records), the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/inject/RecordStream.h"

namespace {

constexpr std::uint32_t kLongestFitting = 65540 - 14;  // the frame buffer less the header
constexpr int kHeader = 14;

struct Expected {
    enum Kind { kKeepAlive, kPacket, kBad } kind;
    std::size_t offset;  // of the packet's first byte in the stream
    std::uint32_t length;
};

std::uint32_t LengthAt(const std::uint8_t* s) {
    return std::uint32_t(s[0]) | std::uint32_t(s[1]) << 8 | std::uint32_t(s[2]) << 16 |
           std::uint32_t(s[3]) << 24;
}

// What a reader must report for the stream bytes [from, n), worked out straight from the format:
// whole records, up to and including the first bad length.
std::vector<Expected> Model(const std::uint8_t* s, std::size_t from, std::size_t n) {
    std::vector<Expected> out;
    std::size_t at = from;
    while (n - at >= 4) {
        const std::uint32_t length = LengthAt(s + at);
        at += 4;
        if (length == 0) {
            out.push_back({Expected::kKeepAlive, at, 0});
        } else if (length > kLongestFitting) {
            out.push_back({Expected::kBad, at, length});
            break;
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
    const std::uint8_t* s = data + 1;
    const std::size_t n = size - 1;

    CRecordStream stream((seed & 0x80) != 0 ? 1 : 3 * 65536);
    std::vector<Expected> expected = Model(s, 0, n);
    std::size_t next = 0;
    std::size_t consumed = 0;  // one past the last record handed out
    std::size_t at = 0;        // one past the last byte received
    for (;;) {
        CRecordStream::Packet packet;
        const CRecordStream::Event event = stream.Next(packet);
        if (event == CRecordStream::Event::kNeedMore) {
            // Everything not handed out is buffered, with room for the rest of its record.
            Check(stream.Buffered() == static_cast<int>(at - consumed));
            const std::size_t buffered = at - consumed;
            const std::size_t need = 4 + (buffered >= 4 ? LengthAt(s + consumed) : 0);
            Check(need > buffered &&
                  static_cast<std::size_t>(stream.SpaceSize()) >= need - buffered);
            if (at == n) break;
            seed = seed * 1103515245u + 12345u;
            std::size_t piece = 1 + (seed >> 16) % ((seed & 1) != 0 ? 7 : 70000);
            if (piece > static_cast<std::size_t>(stream.SpaceSize())) piece = stream.SpaceSize();
            if (piece > n - at) piece = n - at;
            std::memcpy(stream.Space(), s + at, piece);
            stream.Commit(static_cast<int>(piece));
            at += piece;
            continue;
        }
        Check(next < expected.size());
        const Expected& e = expected[next++];
        switch (event) {
            case CRecordStream::Event::kKeepAlive:
                Check(e.kind == Expected::kKeepAlive);
                consumed = e.offset;
                break;
            case CRecordStream::Event::kPacket:
                Check(e.kind == Expected::kPacket && packet.length == static_cast<int>(e.length));
                Check(std::memcmp(packet.frame + kHeader, s + e.offset, e.length) == 0);
                std::memset(packet.frame, 0xEE, kHeader);  // the Ethernet header
                consumed = e.offset + e.length;
                break;
            case CRecordStream::Event::kBadLength:
                Check(e.kind == Expected::kBad);
                Check(stream.Next(packet) == CRecordStream::Event::kBadLength);  // stays stuck
                // A new connection: what was buffered is dropped, the rest arrives afresh.
                stream.Restart();
                Check(stream.Buffered() == 0);
                Check(next == expected.size());
                consumed = at;
                expected = Model(s, at, n);
                next = 0;
                break;
            case CRecordStream::Event::kNeedMore:
                break;
        }
    }
    Check(next == expected.size());
    return 0;
}
