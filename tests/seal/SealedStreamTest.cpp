// The sealed channel in TCP mode with the stream reader: frames, who starts the handshake, and
// when a connection that does not authenticate is given up. Then both modes under two threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

#include "SealTestSupport.h"
#include "seal/SealFormat.h"
#include "seal/SealedChannel.h"
#include "seal/SealedStreamReader.h"

namespace {

using seal::CSealedChannel;
using seal::CSealedStreamReader;
using sealtest::Bytes;
using sealtest::ChannelPair;
using sealtest::kMs;
using sealtest::kSecond;
using sealtest::Output;
using sealtest::Pattern;
using Kind = seal::CSealedChannel::Received::Kind;
using Event = seal::CSealedStreamReader::Event;

constexpr CSealedChannel::Mode kStream = CSealedChannel::Mode::kStream;

// A stream of bytes read by one reader in pieces of seeded random sizes (1 .. 9000), each
// message copied out as it comes; the reader's buffer is only a little larger than the largest
// frame, so frames are often cut by its end and moved.
class StreamEnd {
  public:
    StreamEnd() : m_reader(seal::kMaxFrame + 100) {}

    // Feeds `bytes` and returns the messages (or bad-frame markers: empty) that came out.
    std::vector<Bytes> Feed(const Bytes& bytes) {
        std::vector<Bytes> messages;
        std::size_t at = 0;
        while (at < bytes.size()) {
            m_reader.Compact();
            int piece = 1 + static_cast<int>(m_random() % (m_random() % 2 ? 7 : 9000));
            int n = std::min({piece, m_reader.SpaceSize(), static_cast<int>(bytes.size() - at)});
            EXPECT_GE(n, 1);
            if (n < 1) break;
            std::memcpy(m_reader.Space(), bytes.data() + at, static_cast<std::size_t>(n));
            at += static_cast<std::size_t>(n);
            m_reader.Commit(n);
            for (;;) {
                CSealedStreamReader::Message m;
                Event e = m_reader.Next(m);
                if (e == Event::kNeedMore) break;
                if (e == Event::kMessage) {
                    messages.emplace_back(m.bytes, m.bytes + m.length);
                } else {
                    messages.emplace_back();
                }
            }
        }
        return messages;
    }
    CSealedStreamReader& Reader() { return m_reader; }

  private:
    CSealedStreamReader m_reader;
    std::mt19937 m_random{7};
};

Bytes Framed(const Bytes& message) {
    Bytes frame(4 + message.size());
    seal::PutStreamHeader(frame.data(), static_cast<int>(message.size()));
    std::copy(message.begin(), message.end(), frame.begin() + 4);
    return frame;
}

TEST(SealedStream, TheConnectingEndStartsAndEveryRecordTravelsInAFrame) {
    ChannelPair pair(kStream);
    CSealedChannel& a = *pair.a;  // connects
    CSealedChannel& b = *pair.b;  // listens
    Bytes out(200);
    EXPECT_EQ(b.BeginConnection(false, out.data(), 200), 0);
    EXPECT_EQ(b.Tick(out.data(), 200).length, 0) << "the listening end waits";
    EXPECT_FALSE(b.Seal(nullptr, 0, out.data(), 200).handshakeDue);
    int n = a.BeginConnection(true, out.data(), 200);
    ASSERT_EQ(n, 68);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{64, 0, 0, 0xA5}));

    StreamEnd atB, atA;
    std::vector<Bytes> got = atB.Feed(Bytes(out.begin(), out.begin() + n));
    ASSERT_EQ(got.size(), 1u);
    Output response = pair.Deliver(b, Framed(got[0]));
    ASSERT_EQ(response.kind, Kind::kReply);
    ASSERT_EQ(response.bytes.size(), 64u);
    got = atA.Feed(response.bytes);
    ASSERT_EQ(got.size(), 1u);
    Output confirmation = pair.Deliver(a, Framed(got[0]));
    ASSERT_EQ(confirmation.kind, Kind::kReply);
    // The confirmation is an empty record: a keep-alive, 36 bytes on the stream.
    ASSERT_EQ(confirmation.bytes.size(), 36u);
    EXPECT_EQ(Bytes(confirmation.bytes.begin(), confirmation.bytes.begin() + 4),
              (Bytes{32, 0, 0, 0xA5}));

    // Keep-alive, the confirmation and the largest packet, back to back on one stream.
    Bytes keepAlive = pair.Seal(a, {});
    Bytes largest = Pattern(65522, 3);
    Bytes big = pair.Seal(a, largest);
    ASSERT_EQ(big.size(), 4u + 32 + 65522);
    Bytes stream = confirmation.bytes;
    stream.insert(stream.end(), keepAlive.begin(), keepAlive.end());
    stream.insert(stream.end(), big.begin(), big.end());
    got = atB.Feed(stream);
    ASSERT_EQ(got.size(), 3u);
    for (int i = 0; i < 2; ++i) {
        Output o = pair.Deliver(b, Framed(got[i]));
        EXPECT_EQ(o.kind, Kind::kData);
        EXPECT_TRUE(o.bytes.empty());
    }
    EXPECT_EQ(pair.Deliver(b, Framed(got[2])).bytes, largest);
    EXPECT_EQ(pair.Deliver(a, pair.Seal(b, Pattern(60, 1))).bytes, Pattern(60, 1));
}

TEST(SealedStream, AConnectionThatDoesNotAuthenticateIsClosedAfterFiveSeconds) {
    ChannelPair pair(kStream);
    CSealedChannel& a = *pair.a;
    CSealedChannel& b = *pair.b;
    Bytes out(200);
    // A stranger connects to the listener and says nothing.
    b.BeginConnection(false, out.data(), 200);
    pair.clock.Advance(4900 * kMs);
    EXPECT_FALSE(b.Tick(out.data(), 200).close);
    pair.clock.Advance(100 * kMs);
    EXPECT_TRUE(b.Tick(out.data(), 200).close);
    // A connecting end whose initiation is never answered gives up the same way.
    a.BeginConnection(true, out.data(), 200);
    pair.clock.Advance(4999 * kMs);
    EXPECT_FALSE(a.Tick(out.data(), 200).close);
    pair.clock.Advance(1 * kMs);
    EXPECT_TRUE(a.Tick(out.data(), 200).close);

    // An authenticated connection stays, rekeys from the tick when idle, and is closed only
    // when no rekey succeeds before its session runs out.
    int n = a.BeginConnection(true, out.data(), 200);
    b.BeginConnection(false, out.data() + 100, 100);
    pair.Converse(b, a, Bytes(out.begin(), out.begin() + n));
    ASSERT_TRUE(a.CurrentSession().valid);
    ASSERT_TRUE(b.CurrentSession().valid);
    pair.clock.Advance(99 * kSecond);
    EXPECT_EQ(a.Tick(out.data(), 200).length, 0);
    pair.clock.Advance(1 * kSecond);
    CSealedChannel::TickResult rekey = a.Tick(out.data(), 200);
    ASSERT_EQ(rekey.length, 68);  // the initiation, lost on its way
    EXPECT_FALSE(b.Tick(out.data(), 200).close);
    pair.clock.Advance(24 * kSecond);
    EXPECT_FALSE(b.Tick(out.data(), 200).close);
    pair.clock.Advance(1 * kSecond);
    EXPECT_TRUE(b.Tick(out.data(), 200).close);

    // A new connection forgets the old one's sessions.
    EXPECT_EQ(a.BeginConnection(true, out.data(), 200), 68);
    EXPECT_FALSE(a.CurrentSession().valid);
    EXPECT_EQ(pair.Seal(a, {}).size(), 0u);
}

TEST(SealedStreamReader, RefusesWhatIsNoSealedFrame) {
    StreamEnd end;
    // An unsealed record (length 60) from a peer without a key.
    Bytes record = {60, 0, 0, 0};
    std::vector<Bytes> got = end.Feed(record);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].empty());
    EXPECT_TRUE(end.Reader().LooksUnsealed());
    // Marked, but shorter than any message or longer than the largest.
    for (std::uint32_t length : {0u, 31u, 65568u, 0xFFFFFFu}) {
        Bytes header(4);
        seal::PutLe32(header.data(), length | 0xA5000000u);
        got = end.Feed(header);
        ASSERT_EQ(got.size(), 1u) << length;
        EXPECT_TRUE(got[0].empty());
        EXPECT_FALSE(end.Reader().LooksUnsealed());
    }
    // The bounds themselves are frames, and the reader is back at a frame boundary.
    got = end.Feed(Framed(Bytes(32, 1)));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], Bytes(32, 1));
    got = end.Feed(Framed(Bytes(seal::kMaxMessage, 2)));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].size(), static_cast<std::size_t>(seal::kMaxMessage));
}

TEST(SealedStreamReader, MessagesStayWhereTheyLandedUntilCompact) {
    // Three frames and the start of a fourth in one receive, into a buffer that holds one
    // largest frame and little more.
    CSealedStreamReader reader(0);
    Bytes stream;
    for (int i = 0; i < 4; ++i) {
        Bytes frame = Framed(Pattern(1000 + i, static_cast<std::uint8_t>(i)));
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    const int firstPart = static_cast<int>(stream.size()) - 500;
    ASSERT_LE(firstPart, reader.SpaceSize());
    std::memcpy(reader.Space(), stream.data(), static_cast<std::size_t>(firstPart));
    reader.Commit(firstPart);
    CSealedStreamReader::Message taken[3];
    for (auto& message : taken) ASSERT_EQ(reader.Next(message), Event::kMessage);
    CSealedStreamReader::Message fourth;
    ASSERT_EQ(reader.Next(fourth), Event::kNeedMore);
    // Written over while "queued", as the injector does with each frame's Ethernet header: no
    // message reaches into the one behind it.
    for (int i = 0; i < 3; ++i) std::memset(taken[i].bytes - 2, 0xEE, 16);
    for (int i = 0; i < 3; ++i) {
        Bytes expected = Pattern(1000 + i, static_cast<std::uint8_t>(i));
        EXPECT_EQ(Bytes(taken[i].bytes + 16, taken[i].bytes + taken[i].length),
                  Bytes(expected.begin() + 16, expected.end()));
    }
    // The fourth frame's head stays unmoved while there is room behind it ...
    const std::uint8_t* before = reader.Space();
    reader.Compact();
    EXPECT_EQ(reader.Space(), before);
    EXPECT_EQ(reader.Buffered(), 4 + 1003 - 500);
    // ... and is moved to the start once the space behind it is short.
    const int fill = reader.SpaceSize() - 1000;
    Bytes filler = Framed(Bytes(static_cast<std::size_t>(fill) - 4, 9));
    std::memcpy(reader.Space(), stream.data() + firstPart, 500);
    reader.Commit(500);
    ASSERT_EQ(reader.Next(fourth), Event::kMessage);
    EXPECT_EQ(Bytes(fourth.bytes, fourth.bytes + fourth.length), Pattern(1003, 3));
    std::memcpy(reader.Space(), filler.data(), filler.size() - 10);
    reader.Commit(static_cast<int>(filler.size()) - 10);
    ASSERT_EQ(reader.Next(fourth), Event::kNeedMore);
    reader.Compact();
    EXPECT_EQ(reader.Buffered(), static_cast<int>(filler.size()) - 10);
    EXPECT_GE(reader.SpaceSize(), seal::kMaxFrame - reader.Buffered());
    std::memcpy(reader.Space(), filler.data() + filler.size() - 10, 10);
    reader.Commit(10);
    ASSERT_EQ(reader.Next(fourth), Event::kMessage);
    EXPECT_EQ(Bytes(fourth.bytes, fourth.bytes + fourth.length),
              Bytes(filler.begin() + 4, filler.end()));
    EXPECT_EQ(reader.Buffered(), 0);
}

// ---------------------------------------------------------------------------------------------
// Two threads, one end each, joined by two queues, on the real clock with a rekey every 20 ms
// or 1000 messages:
// end A sends a steady numbered stream while both ends rekey (and now and then cross), end B
// sends a trickle back. Every message that was sealed must open, in order, exactly once.

class Queue {
  public:
    void Push(Bytes bytes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_items.push_back(std::move(bytes));
    }
    bool Pop(Bytes& bytes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_items.empty()) return false;
        bytes = std::move(m_items.front());
        m_items.pop_front();
        return true;
    }

  private:
    std::mutex m_mutex;  // guards m_items; held only to push or pop
    std::deque<Bytes> m_items;
};

struct EndResult {
    std::atomic<std::uint64_t> dataOpened{0};  // non-empty plaintexts; read by the test's thread
    std::uint64_t dataDropped = 0;
    std::uint64_t outOfOrder = 0;
};

void RunEnd(CSealedChannel& self, Queue& in, Queue& out, int toSend, std::atomic<bool>& stop,
            EndResult& result, bool checkOrder) {
    Bytes buffer(2048), plaintext(2048);
    std::uint32_t sent = 0, expected = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int pass = 0; pass < 2'000'000 && !stop && std::chrono::steady_clock::now() < deadline;
         ++pass) {
        Bytes message;
        while (in.Pop(message)) {
            CSealedChannel::Received r = self.Receive(
                message.data(), static_cast<int>(message.size()), plaintext.data(), 2048);
            if (r.kind == Kind::kReply) {
                out.Push(Bytes(plaintext.begin(), plaintext.begin() + r.length));
            } else if (r.kind == Kind::kData && r.length > 0) {
                ++result.dataOpened;
                std::uint32_t number = seal::GetLe32(plaintext.data());
                if (checkOrder && number != expected) ++result.outOfOrder;
                expected = number + 1;
            } else if (r.kind == Kind::kDropped && message[0] == seal::kTypeData) {
                ++result.dataDropped;
            }
        }
        CSealedChannel::TickResult tick = self.Tick(buffer.data(), 2048);
        if (tick.length > 0) out.Push(Bytes(buffer.begin(), buffer.begin() + tick.length));
        if (static_cast<int>(sent) < toSend) {
            Bytes payload = Pattern(200, static_cast<std::uint8_t>(sent));
            seal::PutLe32(payload.data(), sent);
            CSealedChannel::Sealed s = self.Seal(payload.data(), 200, buffer.data(), 2048);
            if (s.length > 0) {
                out.Push(Bytes(buffer.begin(), buffer.begin() + s.length));
                ++sent;
            } else {
                std::this_thread::yield();  // no session yet: try the same number again
            }
            if (s.handshakeDue) {
                int n = self.Initiate(buffer.data(), 2048);
                if (n > 0) out.Push(Bytes(buffer.begin(), buffer.begin() + n));
            }
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
}

TEST(SealedChannelThreads, RekeyingUnderASteadyTransferLosesNothing) {
    seal::SealTimings t;
    t.rekeyAfterNs = 20 * kMs;
    t.responderRekeyAfterNs = 30 * kMs;
    t.rejectAfterNs = 10 * kSecond;
    t.retryAfterNs = 200 * kMs;
    t.rekeyAfterMessages = 1000;  // so that a fast run renews its sessions as often
    seal::CTunnelKey key = sealtest::KeyFilledWith(0x5A);
    CSealedChannel a(key, CSealedChannel::Mode::kDatagram, seal::CSealClock::System(), t);
    CSealedChannel b(key, CSealedChannel::Mode::kDatagram, seal::CSealClock::System(), t);
    Queue aToB, bToA;
    std::atomic<bool> stopA{false}, stopB{false};
    EndResult atA, atB;
    constexpr int kCount = 20000;
    std::thread threadB([&] { RunEnd(b, aToB, bToA, 500, stopB, atB, true); });
    std::thread threadA([&] { RunEnd(a, bToA, aToB, kCount, stopA, atA, false); });
    // B stops once it has everything (bounded: RunEnd gives up after 20 s).
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(25);
    while (atB.dataOpened.load() < kCount && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let A take B's trickle
    stopA = stopB = true;
    threadA.join();
    threadB.join();

    CSealedChannel::Stats sa = a.GetStats(), sb = b.GetStats();
    EXPECT_EQ(atB.dataOpened.load(), static_cast<std::uint64_t>(kCount));
    EXPECT_EQ(atB.outOfOrder, 0u);
    EXPECT_EQ(atB.dataDropped + atA.dataDropped, 0u);
    EXPECT_EQ(sa.authFailures + sb.authFailures + sa.replays + sb.replays, 0u);
    EXPECT_GE(sa.handshakes, 3u) << "the sessions were renewed during the transfer";
    EXPECT_EQ(atA.dataOpened.load(), 500u);
}

}  // namespace
