// The sealed channel in UDP mode, two ends joined by hand: sizes, round trips, what is refused
// (tampering, replays, strangers), crossing handshakes and rekeying with messages in flight.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "SealTestSupport.h"
#include "seal/SealFormat.h"
#include "seal/SealedChannel.h"

namespace {

using seal::CSealedChannel;
using sealtest::Bytes;
using sealtest::ChannelPair;
using sealtest::kMs;
using sealtest::kSecond;
using sealtest::Output;
using sealtest::Pattern;
using Kind = seal::CSealedChannel::Received::Kind;
using Drop = seal::CSealedChannel::Drop;

constexpr CSealedChannel::Mode kDatagram = CSealedChannel::Mode::kDatagram;

class SealedChannelTest : public ::testing::Test {
  protected:
    explicit SealedChannelTest(const seal::SealTimings& timings = {}) : pair(kDatagram, timings) {}

    // The plaintext `to` opens from `wire`, or a failure naming the drop.
    void ExpectOpens(CSealedChannel& to, const Bytes& wire, const Bytes& plaintext) {
        Output o = pair.Deliver(to, wire);
        ASSERT_EQ(o.kind, Kind::kData) << "dropped, reason " << static_cast<int>(o.drop);
        EXPECT_EQ(o.bytes, plaintext);
    }
    void ExpectDropped(CSealedChannel& to, const Bytes& wire, Drop reason) {
        Output o = pair.Deliver(to, wire);
        EXPECT_EQ(o.kind, Kind::kDropped);
        EXPECT_EQ(o.drop, reason);
    }

    ChannelPair pair;
    CSealedChannel& a = *pair.a;
    CSealedChannel& b = *pair.b;
};

TEST_F(SealedChannelTest, MessagesHaveTheDocumentedSizesAndAFullFragmentFitsTheMtu) {
    Bytes initiation = pair.Initiate(a);
    ASSERT_EQ(initiation.size(), 64u);
    EXPECT_EQ(initiation[0], seal::kTypeInitiation);
    Output response = pair.Deliver(b, initiation);
    ASSERT_EQ(response.kind, Kind::kReply);
    ASSERT_EQ(response.bytes.size(), 60u);
    EXPECT_EQ(response.bytes[0], seal::kTypeResponse);
    Output confirmation = pair.Deliver(a, response.bytes);
    ASSERT_EQ(confirmation.kind, Kind::kReply);
    ASSERT_EQ(confirmation.bytes.size(), 32u);
    EXPECT_EQ(confirmation.bytes[0], seal::kTypeData);
    ExpectOpens(b, confirmation.bytes, {});

    // A 1401-byte fragment (header byte and 1400 payload bytes) becomes a 1433-byte datagram.
    Bytes fragment = Pattern(1401, 7);
    Bytes sealed = pair.Seal(a, fragment);
    ASSERT_EQ(sealed.size(), 1433u);
    EXPECT_LE(sealed.size(), 1472u);
    EXPECT_EQ(a.Overhead(), 32);
    ExpectOpens(b, sealed, fragment);
    // Nothing of the plaintext shows through: no 16-byte run of it appears in the datagram.
    for (std::size_t at = 0; at + 16 <= fragment.size(); at += 16) {
        EXPECT_EQ(std::search(sealed.begin(), sealed.end(), fragment.begin() + at,
                              fragment.begin() + at + 16),
                  sealed.end());
    }
}

TEST_F(SealedChannelTest, RoundTripsBothWaysAndInPlace) {
    pair.Handshake();
    EXPECT_EQ(a.CurrentSession().remoteIndex, b.CurrentSession().localIndex);
    EXPECT_EQ(b.CurrentSession().remoteIndex, a.CurrentSession().localIndex);
    for (int length : {0, 1, 60, 1400, 1401}) {
        Bytes p = Pattern(length, static_cast<std::uint8_t>(length));
        ExpectOpens(b, pair.Seal(a, p), p);
        ExpectOpens(a, pair.Seal(b, p), p);
    }
    // In place: the plaintext already sits where the ciphertext goes, and it is opened where it
    // arrived, as the forwarder and the injector will do to avoid a copy.
    Bytes p = Pattern(1401, 3);
    Bytes buffer(p.size() + 32);
    std::memcpy(buffer.data() + a.PayloadOffset(), p.data(), p.size());
    CSealedChannel::Sealed s = a.Seal(buffer.data() + a.PayloadOffset(), static_cast<int>(p.size()),
                                      buffer.data(), static_cast<int>(buffer.size()));
    ASSERT_EQ(s.length, 1433);
    CSealedChannel::Received r =
        b.Receive(buffer.data(), s.length, buffer.data() + seal::kDataHeaderSize, 1401);
    ASSERT_EQ(r.kind, Kind::kData);
    EXPECT_EQ(Bytes(buffer.begin() + 16, buffer.begin() + 16 + r.length), p);
    EXPECT_EQ(b.GetStats().authFailures, 0u);
}

TEST_F(SealedChannelTest, NothingIsSealedBeforeAHandshakeAndAStrangerGetsNothing) {
    Bytes p = Pattern(100, 1);
    Bytes out(200);
    CSealedChannel::Sealed s = a.Seal(p.data(), 100, out.data(), 200);
    EXPECT_EQ(s.length, 0);
    EXPECT_TRUE(s.handshakeDue);

    // Ends with different keys: the initiation fails authentication, counted, never answered.
    ChannelPair strangers(kDatagram, {}, 0x11, 0x22);
    Bytes initiation = strangers.Initiate(*strangers.a);
    Output o = strangers.Deliver(*strangers.b, initiation);
    EXPECT_EQ(o.kind, Kind::kDropped);
    EXPECT_EQ(o.drop, Drop::kAuthFailed);
    EXPECT_EQ(strangers.b->GetStats().authFailures, 1u);
    EXPECT_FALSE(strangers.b->CurrentSession().valid);
    // Unsealed fragments (what a peer without a key sends) are not ours at all.
    for (std::uint8_t header : {0x80, 0x00, 0x81, 0x04}) {
        Bytes fragment = Pattern(100, 9);
        fragment[0] = header;
        ExpectDropped(b, fragment, Drop::kNotSealed);
    }
    EXPECT_EQ(b.GetStats().notSealed, 4u);
}

// One flipped bit anywhere, in any of the three messages, is dropped; and the forgery does not
// spoil the real message: it opens afterwards.
TEST_F(SealedChannelTest, OneFlippedBitAnywhereIsDropped) {
    Bytes initiation = pair.Initiate(a);
    for (std::size_t bit = 0; bit < initiation.size() * 8; ++bit) {
        Bytes forged = initiation;
        forged[bit / 8] ^= static_cast<std::uint8_t>(1 << bit % 8);
        EXPECT_EQ(pair.Deliver(b, forged).kind, Kind::kDropped) << "initiation bit " << bit;
    }
    EXPECT_FALSE(b.CurrentSession().valid);
    Output response = pair.Deliver(b, initiation);
    ASSERT_EQ(response.kind, Kind::kReply);
    for (std::size_t bit = 0; bit < response.bytes.size() * 8; ++bit) {
        Bytes forged = response.bytes;
        forged[bit / 8] ^= static_cast<std::uint8_t>(1 << bit % 8);
        EXPECT_EQ(pair.Deliver(a, forged).kind, Kind::kDropped) << "response bit " << bit;
    }
    EXPECT_FALSE(a.CurrentSession().valid);
    pair.Converse(a, b, response.bytes);
    ASSERT_TRUE(a.CurrentSession().valid);
    ASSERT_TRUE(b.CurrentSession().valid);

    Bytes p = Pattern(40, 5);
    Bytes sealed = pair.Seal(a, p);
    for (std::size_t bit = 0; bit < sealed.size() * 8; ++bit) {
        Bytes forged = sealed;
        forged[bit / 8] ^= static_cast<std::uint8_t>(1 << bit % 8);
        EXPECT_EQ(pair.Deliver(b, forged).kind, Kind::kDropped) << "data bit " << bit;
    }
    // Truncated or extended, too.
    ExpectDropped(b, Bytes(sealed.begin(), sealed.end() - 1), Drop::kAuthFailed);
    Bytes longer = sealed;
    longer.push_back(0);
    ExpectDropped(b, longer, Drop::kAuthFailed);
    ExpectOpens(b, sealed, p);
    EXPECT_EQ(b.GetStats().opened, 2u);  // the confirmation and this one
}

TEST_F(SealedChannelTest, ReplaysAreDroppedAndReorderingWithinTheWindowIsNot) {
    pair.Handshake();
    std::vector<Bytes> sent;
    for (int i = 0; i < 3000; ++i)
        sent.push_back(pair.Seal(a, Pattern(20, static_cast<std::uint8_t>(i))));
    // Newest first: all 3000 are within the window of the newest, each opens exactly once.
    for (int i = 2999; i >= 0; --i)
        ExpectOpens(b, sent[i], Pattern(20, static_cast<std::uint8_t>(i)));
    for (int i = 0; i < 3000; i += 97) ExpectDropped(b, sent[i], Drop::kReplay);

    // 5000 further on, the first of them is far too old.
    for (int i = 0; i < 5000; ++i) sent.push_back(pair.Seal(a, {}));
    ExpectOpens(b, sent.back(), {});
    ExpectDropped(b, sent[3000], Drop::kReplay);
    ExpectOpens(b, sent[sent.size() - 2], {});
    EXPECT_EQ(b.GetStats().replays, 32u);
    EXPECT_EQ(b.GetStats().authFailures, 0u);
}

TEST_F(SealedChannelTest, AReplayedInitiationIsRefusedAndDisturbsNothing) {
    Bytes initiation = pair.Initiate(a);
    Output response = pair.Deliver(b, initiation);
    pair.Converse(a, b, response.bytes);
    ASSERT_TRUE(b.CurrentSession().valid);
    CSealedChannel::SessionInfo before = b.CurrentSession();
    ExpectDropped(b, initiation, Drop::kReplay);
    // Even from a fresh end that has forgotten the last timestamp (the end restarted), the old
    // initiation gets an answer at most: no session is used before the peer confirms it.
    ChannelPair later(kDatagram);
    Output answer = later.Deliver(*later.b, initiation);
    EXPECT_EQ(answer.kind, Kind::kReply);
    EXPECT_FALSE(later.b->CurrentSession().valid);
    EXPECT_EQ(b.CurrentSession().localIndex, before.localIndex);
    ExpectOpens(b, pair.Seal(a, Pattern(10, 1)), Pattern(10, 1));
    // A response nobody asked for, and one for a handshake already finished, are dropped.
    ExpectDropped(a, response.bytes, Drop::kUnknownSession);
    // An end's own initiation sent back to it reads (the key is the same) but is not answered.
    pair.clock.Advance(200 * kSecond);
    Bytes own = pair.Initiate(a);
    ASSERT_FALSE(own.empty());
    ExpectDropped(a, own, Drop::kReplay);
    pair.Converse(b, a, own);
    EXPECT_EQ(a.CurrentSession().remoteIndex, b.CurrentSession().localIndex);
}

TEST_F(SealedChannelTest, CrossingHandshakesSettleOnOneSession) {
    for (int round = 0; round < 20; ++round) {
        ChannelPair p(kDatagram);
        Bytes fromA = p.Initiate(*p.a);
        Bytes fromB = p.Initiate(*p.b);
        ASSERT_FALSE(fromA.empty());
        ASSERT_FALSE(fromB.empty());
        // Both arrive while the other's own initiation is in flight: exactly one is answered.
        Output atB = p.Deliver(*p.b, fromA);
        Output atA = p.Deliver(*p.a, fromB);
        ASSERT_NE(atA.kind == Kind::kReply, atB.kind == Kind::kReply) << "round " << round;
        EXPECT_EQ((atA.kind == Kind::kReply ? atB : atA).drop, Drop::kCrossing);
        CSealedChannel& answerer = atA.kind == Kind::kReply ? *p.a : *p.b;
        p.Converse(p.Other(answerer), answerer, (atA.kind == Kind::kReply ? atA : atB).bytes);

        CSealedChannel::SessionInfo sa = p.a->CurrentSession(), sb = p.b->CurrentSession();
        ASSERT_TRUE(sa.valid && sb.valid);
        EXPECT_EQ(sa.localIndex, sb.remoteIndex);
        EXPECT_EQ(sa.remoteIndex, sb.localIndex);
        EXPECT_NE(sa.weInitiated, sb.weInitiated);
        EXPECT_EQ(p.a->GetStats().handshakes, 1u);
        EXPECT_EQ(p.b->GetStats().handshakes, 1u);
        Bytes x = Pattern(300, 1), y = Pattern(300, 2);
        Bytes sealedX = p.Seal(*p.a, x), sealedY = p.Seal(*p.b, y);
        EXPECT_EQ(p.Deliver(*p.b, sealedX).bytes, x);
        EXPECT_EQ(p.Deliver(*p.a, sealedY).bytes, y);
    }
}

TEST(SealedChannelKeystream, TwoSessionsWithTheSameKeyNeverShareAKeystream) {
    // Same key, same plaintext, counter 1 (after the confirmation) in each: the handshakes'
    // fresh ephemerals make the ciphertexts differ, whether the same two ends shake hands
    // again (here: after both restarted) or another pair does.
    Bytes p(64, 0);
    std::vector<Bytes> sealed;
    for (int session = 0; session < 3; ++session) {
        ChannelPair pair(kDatagram);
        pair.Handshake();
        sealed.push_back(pair.Seal(*pair.a, p));
        Bytes next = pair.Seal(*pair.a, p);
        ASSERT_EQ(next.size(), 96u);
        // Within a session the counter moves on and so does the keystream.
        EXPECT_EQ(seal::GetLe64(next.data() + 8), seal::GetLe64(sealed.back().data() + 8) + 1);
        EXPECT_NE(Bytes(next.begin() + 16, next.end()),
                  Bytes(sealed.back().begin() + 16, sealed.back().end()));
    }
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(sealed[i].size(), 96u);
        EXPECT_EQ(seal::GetLe64(sealed[i].data() + 8), 1u);
        for (int j = 0; j < i; ++j) {
            EXPECT_NE(Bytes(sealed[i].begin() + 16, sealed[i].end()),
                      Bytes(sealed[j].begin() + 16, sealed[j].end()));
        }
    }
}

// Short times through the test seam: rekey after 1 s (the session's initiator) or 1.5 s (the
// other end), refuse after 3 s.
class SealedRekeyTest : public SealedChannelTest {
  protected:
    static seal::SealTimings Short() {
        seal::SealTimings t;
        t.rekeyAfterNs = 1 * kSecond;
        t.responderRekeyAfterNs = 1500 * kMs;
        t.rejectAfterNs = 3 * kSecond;
        t.retryAfterNs = 500 * kMs;
        t.rekeyAfterMessages = 50;
        return t;
    }
    SealedRekeyTest() : SealedChannelTest(Short()) {}
};

TEST_F(SealedRekeyTest, RekeyingLosesNoMessageInFlight) {
    pair.Handshake();
    std::uint32_t firstIndex = b.CurrentSession().localIndex;
    pair.clock.Advance(1100 * kMs);
    // Messages sealed on the old session, still on their way when the new one is made.
    std::vector<Bytes> inFlightToB, inFlightToA;
    bool due = false;
    for (int i = 0; i < 5; ++i) {
        Bytes p = Pattern(100, static_cast<std::uint8_t>(i));
        Bytes out(200);
        CSealedChannel::Sealed s = a.Seal(p.data(), 100, out.data(), 200);
        ASSERT_GT(s.length, 0);
        due = due || s.handshakeDue;
        inFlightToB.push_back(Bytes(out.begin(), out.begin() + s.length));
        inFlightToA.push_back(pair.Seal(b, p));
    }
    EXPECT_TRUE(due) << "the session's initiator asks for a rekey after 1 s";
    Bytes initiation = pair.Initiate(a);
    ASSERT_FALSE(initiation.empty());
    EXPECT_TRUE(pair.Initiate(a).empty()) << "one handshake at a time";
    Output response = pair.Deliver(b, initiation);
    ASSERT_EQ(response.kind, Kind::kReply);
    // Until A confirms, B keeps sealing on the old session, which A still opens.
    Bytes beforeConfirmation = pair.Seal(b, Pattern(33, 1));
    Output confirmation = pair.Deliver(a, response.bytes);
    ASSERT_EQ(confirmation.kind, Kind::kReply);
    ExpectOpens(a, beforeConfirmation, Pattern(33, 1));
    for (int i = 0; i < 5; ++i)
        ExpectOpens(a, inFlightToA[i], Pattern(100, static_cast<std::uint8_t>(i)));
    ExpectOpens(b, confirmation.bytes, {});
    EXPECT_NE(b.CurrentSession().localIndex, firstIndex);
    for (int i = 0; i < 4; ++i)
        ExpectOpens(b, inFlightToB[i], Pattern(100, static_cast<std::uint8_t>(i)));
    ExpectOpens(b, pair.Seal(a, Pattern(5, 5)), Pattern(5, 5));
    ExpectOpens(a, pair.Seal(b, Pattern(6, 6)), Pattern(6, 6));

    // The old session is refused once it is 3 s old, even for a message sealed in time; the
    // new one goes on.
    pair.clock.Advance(2 * kSecond);
    ExpectDropped(b, inFlightToB[4], Drop::kExpired);
    ExpectOpens(b, pair.Seal(a, Pattern(7, 7)), Pattern(7, 7));
    EXPECT_EQ(a.GetStats().handshakes, 2u);
    EXPECT_EQ(b.GetStats().handshakes, 2u);
    EXPECT_EQ(a.GetStats().authFailures + b.GetStats().authFailures, 0u);
}

TEST_F(SealedRekeyTest, SessionsAreRefusedAfterTheirTimeAndRenewedAfterTheirCount) {
    pair.Handshake();
    Bytes sealed = pair.Seal(a, Pattern(10, 1));
    pair.clock.Advance(3 * kSecond);
    ExpectDropped(b, sealed, Drop::kExpired);
    Bytes out(100);
    CSealedChannel::Sealed s = a.Seal(nullptr, 0, out.data(), 100);
    EXPECT_EQ(s.length, 0);
    EXPECT_TRUE(s.handshakeDue);
    // The other end, idle, keeps a session ready on its own: its tick starts the handshake.
    CSealedChannel::TickResult tick = b.Tick(out.data(), 100);
    ASSERT_EQ(tick.length, 64);
    EXPECT_FALSE(tick.close);
    pair.Converse(a, b, Bytes(out.begin(), out.begin() + 64));
    ASSERT_TRUE(a.CurrentSession().valid);
    EXPECT_FALSE(a.CurrentSession().weInitiated);

    // 50 messages on one session ask for the next handshake.
    int firstDue = -1;
    for (int i = 0; i < 60 && firstDue < 0; ++i) {
        if (a.Seal(nullptr, 0, out.data(), 100).handshakeDue) firstDue = i;
    }
    EXPECT_EQ(firstDue, 50);
}

TEST_F(SealedRekeyTest, AnUnansweredHandshakeIsRepeatedAfterTheRetryTime) {
    Bytes first = pair.Initiate(a);
    ASSERT_FALSE(first.empty());
    Bytes out(100);
    EXPECT_EQ(a.Tick(out.data(), 100).length, 0);
    pair.clock.Advance(500 * kMs);
    Bytes second = pair.Initiate(a);
    ASSERT_FALSE(second.empty());
    // The late answer to the first is for a handshake given up.
    Output late = pair.Deliver(b, first);
    ASSERT_EQ(late.kind, Kind::kReply);
    ExpectDropped(a, late.bytes, Drop::kUnknownSession);
    pair.Converse(b, a, second);
    EXPECT_TRUE(a.CurrentSession().valid);
    EXPECT_EQ(a.CurrentSession().remoteIndex, b.CurrentSession().localIndex);
}

}  // namespace
