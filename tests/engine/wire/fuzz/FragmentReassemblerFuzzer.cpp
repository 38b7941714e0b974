// libFuzzer target: a sequence of datagrams fed to CFragmentReassembler, whose frame buffer is
// exactly 65540 bytes (AddressSanitizer catches any byte written past it). Every result is checked
// against an independent model of the receiving rules, and every completed packet must be
// exactly the bytes of its own fragments, in order. The frame buffer starts filled with a poison
// byte that differs from run to run, so a byte that no fragment of the packet wrote (a stale
// byte of an earlier packet or of the poison) shows.
//
// Input: one poison byte, then datagrams back to back, each as a 2-byte big-endian length (taken
// modulo 1600) and then that many bytes (fewer if the input ends).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/wire/WireFormat.h"

namespace {

constexpr std::size_t kFrame = 65540;

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::uint8_t* frame = new std::uint8_t[kFrame];
    std::memset(frame, data[0] ^ 0xA5, kFrame);
    // The fragments of the packet in progress, appended as they are accepted.
    static std::uint8_t packet[kFrame];
    std::size_t packetLength = 0;
    wire::CFragmentReassembler reassembler(frame);
    unsigned expectedIndex = 0;

    std::size_t at = 1;
    while (size - at >= 2) {
        std::size_t length = ((std::size_t(data[at]) << 8) | data[at + 1]) % 1600;
        at += 2;
        if (length > size - at) length = size - at;
        const std::uint8_t* datagram = data + at;
        at += length;

        // The model: one expected index; every fragment but the last carries exactly 1400 bytes;
        // nothing may end past the buffer; the last fragment completes the packet.
        enum { kDropped, kPartial, kComplete } want;
        if (length == 0 || (datagram[0] & 0x7F) != expectedIndex) {
            want = kDropped;
        } else {
            const bool last = (datagram[0] & 0x80) != 0;
            const std::size_t payload = length - 1;
            if (!last && payload != 1400) {
                want = kDropped;
            } else if (14 + packetLength + payload > kFrame) {
                want = kDropped;
            } else {
                std::memcpy(packet + packetLength, datagram + 1, payload);
                packetLength += payload;
                want = last ? kComplete : kPartial;
            }
        }
        if (want == kPartial) {
            ++expectedIndex;
        } else {
            expectedIndex = 0;
        }

        wire::CFragmentReassembler::Result result =
            reassembler.Accept(datagram, static_cast<int>(length));
        Check(reassembler.ExpectedIndex() == expectedIndex);
        switch (result) {
            case wire::CFragmentReassembler::Result::kDropped:
                Check(want == kDropped);
                break;
            case wire::CFragmentReassembler::Result::kPartial:
                Check(want == kPartial);
                break;
            case wire::CFragmentReassembler::Result::kComplete:
                Check(want == kComplete);
                Check(static_cast<std::size_t>(reassembler.FrameLength()) == 14 + packetLength);
                Check(std::memcmp(frame + 14, packet, packetLength) == 0);
                break;
        }
        if (want != kPartial) packetLength = 0;
    }
    delete[] frame;
    return 0;
}
