// libFuzzer target: the data-message opener and the TCP frame reader, on a pair of ends that
// have shaken hands.
//
// Input: byte 0 picks the case, the rest is data for it.
//   0: the rest is a data message (type byte forced) for B: it must be dropped, and the window
//      must not have moved (a real message with the same counter still opens).
//   1: a script: messages of chosen lengths are sealed by A, then delivered to B in a chosen
//      order, some with a chosen byte flipped. A message opens exactly when it is unchanged and
//      not delivered before, and then gives back its plaintext.
//   2: the rest is a TCP byte stream read by CSealedStreamReader in chosen pieces (the buffer
//      is exactly one largest frame on the heap), each message handed to a stream-mode B.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzSupport.h"
#include "seal/SealFormat.h"
#include "seal/SealedChannel.h"
#include "seal/SealedStreamReader.h"

namespace {

using seal::CSealedChannel;
using sealfuzz::Check;
using Kind = seal::CSealedChannel::Received::Kind;

seal::CTunnelKey Key() {
    std::uint8_t bytes[32];
    for (int i = 0; i < 32; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return seal::CTunnelKey::FromBytes(bytes);
}

// A initiates, B answers, A confirms (in stream mode B first sees BeginConnection).
void ShakeHands(CSealedChannel& a, CSealedChannel& b) {
    std::uint8_t buffer[256];
    int n = 0;
    if (a.GetMode() == CSealedChannel::Mode::kStream) {
        b.BeginConnection(false, buffer, sizeof buffer);
        n = a.BeginConnection(true, buffer, sizeof buffer);
    } else {
        n = a.Initiate(buffer, sizeof buffer);
    }
    int skip = a.GetMode() == CSealedChannel::Mode::kStream ? seal::kStreamHeaderSize : 0;
    std::uint8_t reply[256];
    CSealedChannel::Received r = b.Receive(buffer + skip, n - skip, reply, sizeof reply);
    Check(r.kind == Kind::kReply);
    r = a.Receive(reply + skip, r.length - skip, buffer, sizeof buffer);
    Check(r.kind == Kind::kReply);
    r = b.Receive(buffer + skip, r.length - skip, reply, sizeof reply);
    Check(r.kind == Kind::kData && r.length == 0);
}

std::uint8_t PlaintextByte(int message, int i) {
    return static_cast<std::uint8_t>(message * 17 + i);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sealfuzz::InstallSeededRandom();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    sealfuzz::Reseed();
    const std::uint8_t* rest = data + 1;
    std::size_t restLength = std::min<std::size_t>(size - 1, 70000);
    sealfuzz::CStillClock clock;
    static std::uint8_t out[seal::kMaxPlaintext];

    switch (data[0] % 3) {
        case 0: {
            CSealedChannel a(Key(), CSealedChannel::Mode::kDatagram, clock);
            CSealedChannel b(Key(), CSealedChannel::Mode::kDatagram, clock);
            ShakeHands(a, b);
            std::vector<std::uint8_t> message(rest, rest + restLength);
            if (!message.empty()) message[0] = seal::kTypeData;
            CSealedChannel::Received r =
                b.Receive(message.data(), static_cast<int>(message.size()), out, sizeof out);
            Check(r.kind == Kind::kDropped);
            std::uint8_t sealed[64];
            CSealedChannel::Sealed s = a.Seal(nullptr, 0, sealed, sizeof sealed);
            Check(b.Receive(sealed, s.length, out, sizeof out).kind == Kind::kData);
            break;
        }
        case 1: {
            CSealedChannel a(Key(), CSealedChannel::Mode::kDatagram, clock);
            CSealedChannel b(Key(), CSealedChannel::Mode::kDatagram, clock);
            ShakeHands(a, b);
            // Script: count (1-8), then per message a length byte; then per step 3 bytes:
            // which message, which byte to flip (0: none), the flip.
            if (restLength < 1) break;
            int count = 1 + rest[0] % 8;
            std::size_t at = 1;
            std::vector<std::vector<std::uint8_t>> sealed;
            for (int m = 0; m < count; ++m) {
                int length = at < restLength ? rest[at++] * 6 : 0;  // up to 1530 bytes
                std::vector<std::uint8_t> plaintext(static_cast<std::size_t>(length));
                for (int i = 0; i < length; ++i) plaintext[i] = PlaintextByte(m, i);
                std::vector<std::uint8_t> message(plaintext.size() + seal::kDataOverhead);
                CSealedChannel::Sealed s = a.Seal(plaintext.data(), length, message.data(),
                                                  static_cast<int>(message.size()));
                Check(s.length == length + seal::kDataOverhead);
                sealed.push_back(message);
            }
            std::vector<bool> delivered(sealed.size(), false);
            for (int step = 0; step < 64 && at + 3 <= restLength; ++step, at += 3) {
                int m = rest[at] % count;
                std::vector<std::uint8_t> message = sealed[m];
                std::size_t where = rest[at + 1] * message.size() / 256;
                bool changed = rest[at + 1] != 0 && rest[at + 2] != 0;
                if (changed) message[where] ^= rest[at + 2];
                CSealedChannel::Received r =
                    b.Receive(message.data(), static_cast<int>(message.size()), out, sizeof out);
                bool expectOpen = !changed && !delivered[m];
                Check((r.kind == Kind::kData) == expectOpen);
                if (expectOpen) {
                    delivered[m] = true;
                    Check(r.length == static_cast<int>(message.size()) - seal::kDataOverhead);
                    for (int i = 0; i < r.length; ++i) Check(out[i] == PlaintextByte(m, i));
                }
            }
            break;
        }
        case 2: {
            CSealedChannel a(Key(), CSealedChannel::Mode::kStream, clock);
            CSealedChannel b(Key(), CSealedChannel::Mode::kStream, clock);
            ShakeHands(a, b);
            // The reader's buffer is exactly one largest frame on the heap: one byte more
            // written is an ASan report.
            seal::CSealedStreamReader reader(0);
            std::uint32_t seed = restLength > 0 ? rest[0] : 0;
            std::size_t at = 0;
            for (int pass = 0; pass < 200000 && at < restLength; ++pass) {
                seed = seed * 1103515245u + 12345u;
                int piece = 1 + static_cast<int>((seed >> 16) % ((seed & 1) ? 7 : 70000));
                reader.Compact();
                Check(reader.SpaceSize() >= 1);
                int n = std::min({piece, reader.SpaceSize(), static_cast<int>(restLength - at)});
                std::memcpy(reader.Space(), rest + at, static_cast<std::size_t>(n));
                at += static_cast<std::size_t>(n);
                reader.Commit(n);
                for (int messages = 0; messages < 100000; ++messages) {
                    seal::CSealedStreamReader::Message m;
                    const seal::CSealedStreamReader::Event e = reader.Next(m);
                    if (e != seal::CSealedStreamReader::Event::kMessage) break;
                    Check(m.length >= seal::kMinMessage && m.length <= seal::kMaxMessage);
                    CSealedChannel::Received r = b.Receive(m.bytes, m.length, out, sizeof out);
                    Check(r.kind != Kind::kData);  // nothing forged opens
                }
            }
            break;
        }
    }
    return 0;
}
