// libFuzzer target: a sequence of datagrams fed to CFragmentReassembler, whose frame buffer is
// exactly 65540 bytes (AddressSanitizer catches any byte written past it). Every result and
// every completed packet is checked against an independent model of the receiving rules.
//
// Input: datagrams back to back, each as a 2-byte big-endian length (taken modulo 1600) and then
// that many bytes (fewer if the input ends).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/WireFormat.h"

namespace {

constexpr std::size_t kFrame = 65540;

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t* frame = new std::uint8_t[kFrame];
    static std::uint8_t model[kFrame];
    std::memset(frame, 0, kFrame);
    std::memset(model, 0, kFrame);
    wire::CFragmentReassembler reassembler(frame);
    unsigned expectedIndex = 0;

    std::size_t at = 0;
    while (size - at >= 2) {
        std::size_t length = ((std::size_t(data[at]) << 8) | data[at + 1]) % 1600;
        at += 2;
        if (length > size - at) length = size - at;
        const std::uint8_t* datagram = data + at;
        at += length;

        // The model: one expected index; fragment k goes to 14 + 1400 k; nothing may end past
        // the buffer; the last fragment completes the packet.
        enum { kDropped, kPartial, kComplete } want;
        std::size_t frameLength = 0;
        if (length == 0) {
            want = kDropped;
            expectedIndex = 0;
        } else if ((datagram[0] & 0x7F) != expectedIndex) {
            want = kDropped;
            expectedIndex = 0;
        } else {
            std::size_t start = 14 + 1400 * std::size_t(datagram[0] & 0x7F);
            if (start + (length - 1) > kFrame) {
                want = kDropped;
                expectedIndex = 0;
            } else {
                std::memcpy(model + start, datagram + 1, length - 1);
                ++expectedIndex;
                want = kPartial;
                if (datagram[0] & 0x80) {
                    want = kComplete;
                    expectedIndex = 0;
                    frameLength = start + (length - 1);
                }
            }
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
                Check(static_cast<std::size_t>(reassembler.FrameLength()) == frameLength);
                Check(std::memcmp(frame + 14, model + 14, frameLength - 14) == 0);
                break;
        }
    }
    delete[] frame;
    return 0;
}
