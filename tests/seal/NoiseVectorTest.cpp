// The handshake against the published test vector for Noise_NNpsk0_25519_ChaChaPoly_BLAKE2b,
// copied from the cacophony project's vectors/cacophony.txt
// (github.com/haskell-cryptography/cacophony, commit 36c1e5c3a799342b226547ce9fdb3579ab60ccd3):
// both handshake messages and four transport messages, byte for byte.
#include <gtest/gtest.h>

#include <cstring>

#include "SealTestSupport.h"
#include "seal/CipherState.h"
#include "seal/HandshakeState.h"

namespace {

using seal::CCipherState;
using seal::CHandshakeState;
using sealtest::Bytes;
using sealtest::FromHex;

const Bytes kPrologue = FromHex("4a6f686e2047616c74");
const Bytes kPsk = FromHex("54686973206973206d7920417573747269616e20706572737065637469766521");
const Bytes kInitEphemeral =
    FromHex("893e28b9dc6ca8d611ab664754b8ceb7bac5117349a4439a6b0569da977c464a");
const Bytes kRespEphemeral =
    FromHex("bbdb4cdbd309f1a1f2e1456967fe288cadd6f712d65dc7b7793d5e63da6b375b");

struct Message {
    const char* payload;
    const char* ciphertext;
};
const Message kMessages[] = {
    {"4c756477696720766f6e204d69736573",
     "ca35def5ae56cec33dc2036731ab14896bc4c75dbb07a61f879f8e3afa4c7944ed63df2f5a12aee1185ee9c503"
     "05f2ecf12421dcb53c047a63b784cf7c54a105"},
    {"4d757272617920526f746862617264",
     "95ebc60d2b1fa672c1f46a8aa265ef51bfe38e7ccb39ec5be34069f1448088430e0fe7d5c0c9b92f7478716c88"
     "52f1b4f389edb75e3ebe546fafafd5b6f0f7"},
    {"462e20412e20486179656b", "0fe04b26dcfbb69f8a6a94c61f1a26ef88769218d32f5d17c068a6"},
    {"4361726c204d656e676572", "2239e0c540c01f09eb1f4cc5258fd5acfefff18a5a3773f21b7bfe"},
    {"4a65616e2d426170746973746520536179",
     "f216cb03d30fb8af1e561fe02a07552d09b416e27a75e62c77d193718b0bdaae9f"},
    {"457567656e2042f6686d20766f6e2042617765726b",
     "6e8baf98b944184dd7dc5ef14d8108cbeca626de118a5460f3308e294d61e17238bce29bd9"},
};

CHandshakeState Initiator(const Bytes& psk = kPsk) {
    return CHandshakeState(CHandshakeState::Role::kInitiator, psk.data(), kPrologue.data(),
                           kPrologue.size(), kInitEphemeral.data());
}
CHandshakeState Responder(const Bytes& psk = kPsk) {
    return CHandshakeState(CHandshakeState::Role::kResponder, psk.data(), kPrologue.data(),
                           kPrologue.size(), kRespEphemeral.data());
}

// Writes handshake message `index` on `writer` and reads it on `reader`, checking the bytes.
void HandshakeMessage(int index, CHandshakeState& writer, CHandshakeState& reader) {
    Bytes payload = FromHex(kMessages[index].payload);
    Bytes expected = FromHex(kMessages[index].ciphertext);
    Bytes written(payload.size() + CHandshakeState::kOverhead);
    ASSERT_TRUE(writer.WriteMessage(payload.data(), payload.size(), written.data()));
    EXPECT_EQ(written, expected) << "handshake message " << index + 1;
    Bytes read(payload.size());
    ASSERT_TRUE(reader.ReadMessage(written.data(), written.size(), read.data()));
    EXPECT_EQ(read, payload);
}

TEST(NoiseVector, HandshakeAndTransportMatchTheVectorByteForByte) {
    CHandshakeState initiator = Initiator();
    CHandshakeState responder = Responder();
    HandshakeMessage(0, initiator, responder);
    HandshakeMessage(1, responder, initiator);
    ASSERT_TRUE(initiator.Finished());
    ASSERT_TRUE(responder.Finished());
    EXPECT_EQ(0, std::memcmp(initiator.HandshakeHash(), responder.HandshakeHash(), 64));

    CCipherState iSend, iReceive, rReceive, rSend;
    initiator.Split(iSend, iReceive);
    responder.Split(rReceive, rSend);
    // Messages 3-6 alternate initiator, responder, initiator, responder; empty associated data.
    for (int index = 2; index < 6; ++index) {
        bool fromInitiator = index % 2 == 0;
        CCipherState& sender = fromInitiator ? iSend : rSend;
        CCipherState& receiver = fromInitiator ? rReceive : iReceive;
        Bytes payload = FromHex(kMessages[index].payload);
        Bytes written(payload.size() + seal::kTagSize);
        ASSERT_TRUE(
            sender.EncryptWithAd(nullptr, 0, payload.data(), payload.size(), written.data()));
        EXPECT_EQ(written, FromHex(kMessages[index].ciphertext)) << "message " << index + 1;
        Bytes read(payload.size());
        ASSERT_TRUE(
            receiver.DecryptWithAd(nullptr, 0, written.data(), written.size(), read.data()));
        EXPECT_EQ(read, payload);
    }
}

TEST(NoiseVector, AnyChangedByteOrAnotherKeyFailsTheRead) {
    Bytes first = FromHex(kMessages[0].ciphertext);
    Bytes second = FromHex(kMessages[1].ciphertext);
    Bytes payload(64);
    for (std::size_t i = 0; i < first.size(); ++i) {
        CHandshakeState responder = Responder();
        Bytes changed = first;
        changed[i] ^= 0x01;
        EXPECT_FALSE(responder.ReadMessage(changed.data(), changed.size(), payload.data())) << i;
    }
    Bytes otherPsk = kPsk;
    otherPsk[31] ^= 0x80;
    CHandshakeState stranger = Responder(otherPsk);
    EXPECT_FALSE(stranger.ReadMessage(first.data(), first.size(), payload.data()));

    for (std::size_t i = 0; i < second.size(); ++i) {
        CHandshakeState initiator = Initiator();
        Bytes written(first.size());
        Bytes p = FromHex(kMessages[0].payload);
        ASSERT_TRUE(initiator.WriteMessage(p.data(), p.size(), written.data()));
        Bytes changed = second;
        changed[i] ^= 0x80;
        EXPECT_FALSE(initiator.ReadMessage(changed.data(), changed.size(), payload.data())) << i;
    }
}

TEST(NoiseVector, TurnsAreEnforced) {
    CHandshakeState responder = Responder();
    Bytes payload(16), out(128);
    EXPECT_FALSE(responder.WriteMessage(payload.data(), payload.size(), out.data()));
    CHandshakeState initiator = Initiator();
    EXPECT_FALSE(initiator.ReadMessage(out.data(), 48, payload.data()));
    EXPECT_FALSE(CHandshakeState().WriteMessage(payload.data(), 0, out.data()));
}

}  // namespace
