// libFuzzer target: the handshake message readers (the channel's initiation and response
// handling, and CHandshakeState::ReadMessage on its own).
//
// Input: byte 0 picks the case, the rest is data for it.
//   0: the rest is a message given to a fresh end and to an end with a handshake in flight
//      (both modes): without the key in it, nothing may come of it but a drop.
//   1: the rest is XORed over a valid initiation: an answer comes exactly when nothing changed.
//   2: the rest is XORed over a valid response: a session comes exactly when nothing changed.
//   3: the rest goes to CHandshakeState::ReadMessage as message 1 and, after a valid message 1,
//      as message 2.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "seal/HandshakeState.h"
#include "seal/SealedChannel.h"

namespace {

using seal::CSealedChannel;
using sealfuzz::Check;
using Kind = seal::CSealedChannel::Received::Kind;

const seal::CTunnelKey& Key() {
    static const seal::CTunnelKey key = [] {
        std::uint8_t bytes[32];
        for (int i = 0; i < 32; ++i) bytes[i] = static_cast<std::uint8_t>(i * 13 + 1);
        return seal::CTunnelKey::FromBytes(bytes);
    }();
    return key;
}

std::vector<std::uint8_t> Masked(const std::uint8_t* valid, int length, const std::uint8_t* mask,
                                 std::size_t maskLength, bool& changed) {
    std::vector<std::uint8_t> out(valid, valid + length);
    changed = false;
    for (std::size_t i = 0; i < maskLength && i < out.size(); ++i) {
        out[i] ^= mask[i];
        changed = changed || mask[i] != 0;
    }
    return out;
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
    std::size_t restLength = size - 1;
    int length = static_cast<int>(restLength > 70000 ? 70000 : restLength);
    sealfuzz::CStillClock clock;
    static std::uint8_t out[seal::kMaxPlaintext];
    std::uint8_t first[CSealedChannel::kHandshakeRoom];

    switch (data[0] % 4) {
        case 0:
            for (CSealedChannel::Mode mode :
                 {CSealedChannel::Mode::kDatagram, CSealedChannel::Mode::kStream}) {
                CSealedChannel fresh(Key(), mode, clock);
                Check(fresh.Receive(rest, length, out, sizeof out).kind == Kind::kDropped);
                CSealedChannel waiting(Key(), mode, clock);
                if (mode == CSealedChannel::Mode::kStream) {
                    Check(waiting.BeginConnection(true, first, sizeof first) > 0);
                } else {
                    Check(waiting.Initiate(first, sizeof first) > 0);
                }
                Check(waiting.Receive(rest, length, out, sizeof out).kind == Kind::kDropped);
                Check(!waiting.CurrentSession().valid);
            }
            break;
        case 1: {
            CSealedChannel a(Key(), CSealedChannel::Mode::kDatagram, clock);
            CSealedChannel b(Key(), CSealedChannel::Mode::kDatagram, clock);
            int n = a.Initiate(first, sizeof first);
            Check(n == seal::kInitiationSize);
            bool changed = false;
            std::vector<std::uint8_t> m = Masked(first, n, rest, restLength, changed);
            CSealedChannel::Received r = b.Receive(m.data(), n, out, sizeof out);
            Check((r.kind == Kind::kReply) == !changed);
            break;
        }
        case 2: {
            CSealedChannel a(Key(), CSealedChannel::Mode::kDatagram, clock);
            CSealedChannel b(Key(), CSealedChannel::Mode::kDatagram, clock);
            int n = a.Initiate(first, sizeof first);
            CSealedChannel::Received response = b.Receive(first, n, out, sizeof out);
            Check(response.kind == Kind::kReply && response.length == seal::kResponseSize);
            bool changed = false;
            std::vector<std::uint8_t> m = Masked(out, response.length, rest, restLength, changed);
            CSealedChannel::Received r = a.Receive(m.data(), response.length, out, sizeof out);
            Check((r.kind == Kind::kReply) == !changed);
            Check(a.CurrentSession().valid == !changed);
            break;
        }
        case 3: {
            static std::uint8_t payload[70000];
            seal::CHandshakeState responder(seal::CHandshakeState::Role::kResponder, Key().Bytes(),
                                            nullptr, 0);
            Check(!responder.ReadMessage(rest, static_cast<std::size_t>(length), payload));
            seal::CHandshakeState initiator(seal::CHandshakeState::Role::kInitiator, Key().Bytes(),
                                            nullptr, 0);
            std::uint8_t message1[seal::CHandshakeState::kOverhead];
            Check(initiator.WriteMessage(nullptr, 0, message1));
            Check(!initiator.ReadMessage(rest, static_cast<std::size_t>(length), payload));
            break;
        }
    }
    return 0;
}
