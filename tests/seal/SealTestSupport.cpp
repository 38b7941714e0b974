#include "SealTestSupport.h"

#include <gtest/gtest.h>

#include "seal/SealFormat.h"

namespace sealtest {

using seal::CSealedChannel;

Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

seal::CTunnelKey KeyFilledWith(std::uint8_t byte) {
    std::uint8_t bytes[seal::kKeySize];
    for (std::uint8_t& b : bytes) b = byte;
    return seal::CTunnelKey::FromBytes(bytes);
}

Bytes Pattern(int length, std::uint8_t seed) {
    Bytes bytes(static_cast<std::size_t>(length));
    for (int i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + i / 255 + seed);
    return bytes;
}

ChannelPair::ChannelPair(CSealedChannel::Mode m, const seal::SealTimings& timings,
                         std::uint8_t keyA, std::uint8_t keyB)
    : mode(m),
      a(std::make_unique<CSealedChannel>(KeyFilledWith(keyA), m, clock, timings)),
      b(std::make_unique<CSealedChannel>(KeyFilledWith(keyB), m, clock, timings)) {}

Bytes ChannelPair::Initiate(CSealedChannel& from) {
    Bytes out(CSealedChannel::kHandshakeRoom);
    int n = from.Initiate(out.data(), static_cast<int>(out.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

Bytes ChannelPair::Seal(CSealedChannel& from, const Bytes& plaintext) {
    Bytes out(plaintext.size() + 64);
    CSealedChannel::Sealed sealed = from.Seal(plaintext.data(), static_cast<int>(plaintext.size()),
                                              out.data(), static_cast<int>(out.size()));
    out.resize(static_cast<std::size_t>(sealed.length));
    return out;
}

Output ChannelPair::Deliver(CSealedChannel& to, const Bytes& wire) {
    std::size_t skip = mode == CSealedChannel::Mode::kStream ? seal::kStreamHeaderSize : 0;
    Output output;
    if (wire.size() < skip) return output;
    Bytes out(seal::kMaxPlaintext);
    CSealedChannel::Received r =
        to.Receive(wire.data() + skip, static_cast<int>(wire.size() - skip), out.data(),
                   static_cast<int>(out.size()));
    output.kind = r.kind;
    output.drop = r.drop;
    out.resize(static_cast<std::size_t>(r.length));
    output.bytes = out;
    return output;
}

void ChannelPair::Converse(CSealedChannel& to, CSealedChannel& from, Bytes wire) {
    CSealedChannel* receiver = &to;
    CSealedChannel* sender = &from;
    for (int step = 0; step < 8 && !wire.empty(); ++step) {
        Output o = Deliver(*receiver, wire);
        if (o.kind != CSealedChannel::Received::Kind::kReply) return;
        wire = o.bytes;
        std::swap(receiver, sender);
    }
}

void ChannelPair::Handshake() {
    Bytes initiation = Initiate(*a);
    ASSERT_FALSE(initiation.empty());
    Output response = Deliver(*b, initiation);
    ASSERT_EQ(response.kind, CSealedChannel::Received::Kind::kReply);
    Output confirmation = Deliver(*a, response.bytes);
    ASSERT_EQ(confirmation.kind, CSealedChannel::Received::Kind::kReply);
    Output confirmed = Deliver(*b, confirmation.bytes);
    ASSERT_EQ(confirmed.kind, CSealedChannel::Received::Kind::kData);
    ASSERT_TRUE(confirmed.bytes.empty());
}

}  // namespace sealtest
