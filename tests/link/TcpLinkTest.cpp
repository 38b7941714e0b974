// CTcpLink over real sockets. Every test that opens a socket runs inside a network namespace of
// its own and uses only its loopback (127.0.0.1), so fixed ports never clash with other tests.
//
//   [ namespace vt<pid>-<n>-link ]
//      CTcpLink (listener or initiator)  <-- 127.0.0.1:kPort -->  the test's raw socket or a
//                                                                second CTcpLink
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/inject/RecordStream.h"
#include "engine/wire/WireFormat.h"
#include "link/TcpLink.h"
#include "platform/Sockets.h"
#include "platform/Trace.h"
#include "seal/SealedChannel.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/ProcessCounts.h"
#include "tests/support/SocketAddress.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testsupport::Loopback;
using testsupport::OpenDescriptors;

constexpr int kPort = 27659;
constexpr std::uint32_t kLoopback = 0x7F000001;  // 127.0.0.1, host order

// The link with its pass pauses scaled down, so that 60 passes take a second or two.
class CScaledLink : public CTcpLink {
  public:
    explicit CScaledLink(unsigned passMilliseconds = 1000) {
        SetPassPauseForTests(passMilliseconds);
    }
};

// Launches on construction; stops and joins on destruction, as the dialog does at its end.
class CRunning {
  public:
    explicit CRunning(CTcpLink& link) : m_link(link) { m_link.Launch(); }
    ~CRunning() {
        m_link.RequestStop();
        m_link.Join();
    }

  private:
    CTcpLink& m_link;
};

template <typename Predicate>
bool WaitUntil(Predicate predicate, std::chrono::milliseconds limit = 3000ms) {
    auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (predicate()) return true;
        std::this_thread::sleep_for(2ms);
    }
    return predicate();
}

// True when `predicate` holds at every look for the whole of `span` (what must not happen did
// not happen); false at the first look at which it fails.
template <typename Predicate>
bool HoldsFor(Predicate predicate, std::chrono::milliseconds span) {
    auto end = Clock::now() + span;
    while (Clock::now() < end) {
        if (!predicate()) return false;
        std::this_thread::sleep_for(2ms);
    }
    return predicate();
}

long Ms(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

// ---------------------------------------------------------------------------------------------
// Trace lines, with the time they were traced and, for "Connecting\n", the status text the
// watched link had just before its connection attempt (read on the link's thread, which holds
// no lock while it traces that line).

struct TraceLine {
    std::string text;
    Clock::time_point at;
    std::string status;
};

std::mutex g_traceMutex;
std::vector<TraceLine> g_trace;
std::atomic<const CTcpLink*> g_watched{nullptr};

void CollectTrace(const char* line) {
    TraceLine entry{line, Clock::now(), {}};
    const CTcpLink* watched = g_watched.load();
    if (watched != nullptr && entry.text == "Connecting\n") entry.status = watched->GetStatusText();
    std::lock_guard lock(g_traceMutex);
    g_trace.push_back(std::move(entry));
}

class CTraceCapture {
  public:
    explicit CTraceCapture(const CTcpLink* watched = nullptr) {
        {
            std::lock_guard lock(g_traceMutex);
            g_trace.clear();
        }
        g_watched.store(watched);
        platform::SetTraceSink(&CollectTrace);
    }
    ~CTraceCapture() {
        platform::SetTraceSink(nullptr);
        g_watched.store(nullptr);
    }
    std::vector<TraceLine> Lines(const std::string& text) const {
        std::vector<TraceLine> out;
        std::lock_guard lock(g_traceMutex);
        for (const auto& l : g_trace)
            if (l.text == text) out.push_back(l);
        return out;
    }
    int Count(const std::string& text) const { return static_cast<int>(Lines(text).size()); }
};

// ---------------------------------------------------------------------------------------------
// Raw sockets for the other end.

class CFd {
  public:
    explicit CFd(int fd = -1) : m_fd(fd) {}
    ~CFd() { Close(); }
    CFd(CFd&& o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }
    CFd& operator=(CFd&& o) noexcept {
        Close();
        m_fd = o.m_fd;
        o.m_fd = -1;
        return *this;
    }
    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    void Close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

  private:
    int m_fd;
};

CFd RawListen(int port, int backlog = 4) {
    CFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    int one = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Loopback(port);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd.Get(), backlog) != 0)
        return CFd();
    return fd;
}

CFd RawAccept(const CFd& listener, int milliseconds = 3000) {
    pollfd p{listener.Get(), POLLIN, 0};
    if (::poll(&p, 1, milliseconds) != 1) return CFd();
    return CFd(::accept(listener.Get(), nullptr, nullptr));
}

CFd RawConnect(int port) {
    CFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a = Loopback(port);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return CFd();
    return fd;
}

// Reads exactly `n` bytes within the time limit; returns how many arrived (-1 on EOF first).
int ReadExactly(const CFd& fd, void* buffer, int n, int milliseconds = 3000) {
    auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
    int got = 0;
    while (got < n && Clock::now() < end) {
        pollfd p{fd.Get(), POLLIN, 0};
        if (::poll(&p, 1, 50) != 1) continue;
        long r = ::recv(fd.Get(), static_cast<char*>(buffer) + got,
                        static_cast<std::size_t>(n - got), 0);
        if (r == 0) return got == 0 ? -1 : got;
        if (r < 0) return got;
        got += static_cast<int>(r);
    }
    return got;
}

// True when the peer ends the stream within the time limit.
bool SeesEndOfStream(const CFd& fd, int milliseconds = 2000) {
    char scratch[256];
    auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
    while (Clock::now() < end) {
        pollfd p{fd.Get(), POLLIN, 0};
        if (::poll(&p, 1, 50) != 1) continue;
        long r = ::recv(fd.Get(), scratch, sizeof scratch, 0);
        if (r <= 0) return true;
    }
    return false;
}

// Acts as the injector does: waits and reads until Receive reports the end (-1), bounded.
bool ReadUntilBroken(CTcpLink& link, int milliseconds = 3000) {
    char buffer[512];
    auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
    while (Clock::now() < end) {
        if (!link.WaitReadable()) continue;
        if (link.Receive(buffer, sizeof buffer) < 0) return true;
    }
    return false;
}

// The fixture: a fresh namespace, entered by the test's thread (and so by the link's thread,
// which the test starts from it).
// Arms `link` as listener on kPort and connects a plain socket to it once it awaits a peer;
// the socket is invalid when the link never reached "connected".
CFd ConnectToListener(CTcpLink& link) {
    link.ArmListener(kPort);
    if (!WaitUntil([&] { return link.GetState() == CTcpLink::State::kAwaitPeer; })) return CFd();
    CFd peer = RawConnect(kPort);
    if (!WaitUntil([&] { return link.GetStatusCode() == CTcpLink::Status::kConnected; }))
        return CFd();
    return peer;
}

class TcpLinkNet : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_NETWORK_PRIVILEGES();
        m_ns = std::make_unique<testsupport::CNetNamespace>("link");
        ASSERT_TRUE(m_ns->Ok());
        m_inside = std::make_unique<testsupport::CNetNamespace::Enter>(*m_ns);
        ASSERT_TRUE(m_inside->Ok());
    }
    void TearDown() override {
        m_inside.reset();
        m_ns.reset();
    }
    std::unique_ptr<testsupport::CNetNamespace> m_ns;
    std::unique_ptr<testsupport::CNetNamespace::Enter> m_inside;
};

const std::set<std::string> kSentences = {
    "",
    "Waiting for connection",
    "Attempting to connect",
    "Socket in wrong state to open",
    "Cant Create Listening Socket",
    "Failed to bind to port",
    "Couldn't set listen socket top non-blocking",
    "Socket Listen Failed",
    "Socket in wrong state to connect",
    "Failed to create socket to connect",
    "Failed to connect the socket",
    "Waiting 1 minute before next connection retry.",
    "Something went wrong - Waiting again",
    "Something went wrong - Connecting again",
};

// ---------------------------------------------------------------------------------------------
// Without a network

TEST(TcpLinkIdle, NeverArmedLinkStaysIdleAndAnswersAtOnce) {
    CTcpLink link;
    EXPECT_EQ(link.GetStatusCode(), CTcpLink::Status::kIdle);
    CRunning running(link);
    EXPECT_TRUE(WaitUntil([&] { return link.GetStatusCode() == CTcpLink::Status::kIdle; }));
    EXPECT_EQ(link.GetState(), CTcpLink::State::kIdle);
    EXPECT_EQ(link.GetStatusText(), "");

    auto start = Clock::now();
    EXPECT_EQ(link.SendAll("abcd", 4), 0);
    EXPECT_EQ(link.SendAll("", 0), 0);
    char buffer[8];
    EXPECT_EQ(link.Receive(buffer, sizeof buffer), 0);
    EXPECT_LT(Ms(Clock::now() - start), 50);

    for (bool readable : {true, false}) {
        start = Clock::now();
        EXPECT_FALSE(readable ? link.WaitReadable() : link.WaitWritable());
        long took = Ms(Clock::now() - start);
        EXPECT_GE(took, 240);
        EXPECT_LT(took, 600);
    }
    // A stray Recover must not send a link that was never armed off to connect somewhere.
    link.Recover();
    EXPECT_TRUE(HoldsFor(
        [&] {
            return link.GetState() == CTcpLink::State::kIdle &&
                   link.GetStatusCode() == CTcpLink::Status::kIdle;
        },
        700ms));  // over an idle pass of the link's
    EXPECT_EQ(link.GetConnectionGeneration(), 0u);
}

TEST(TcpLinkIdle, StatusTextCopiesAreAlwaysWholeSentences) {
    // Not launched: arming and Recover only change fields, which is all this needs.
    CTcpLink link;
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        for (int i = 0; i < 5000000 && !stop.load(); ++i) {
            if (i % 3 == 0) link.ArmListener(kPort);
            if (i % 3 == 1) link.ArmInitiator(kLoopback, kPort);
            if (i % 3 == 2) link.Recover();
        }
    });
    std::set<std::string> seen;
    int copies = 0;
    // Generous: on a loaded machine the changer may get little CPU at first.
    auto end = Clock::now() + 15s;
    while (Clock::now() < end && (copies < 100000 || seen.size() < 3)) {
        if (copies % 1024 == 0) std::this_thread::yield();
        std::string text = link.GetStatusText();
        ++copies;
        if (kSentences.count(text) == 0) ADD_FAILURE() << "torn status text: " << text;
        seen.insert(text);
    }
    stop = true;
    changer.join();
    EXPECT_GE(seen.size(), 3u);  // the copies really did overlap the changes
}

// ---------------------------------------------------------------------------------------------
// Connecting

TEST_F(TcpLinkNet, ListenerAndInitiatorConnectAndCarryRecords) {
    CTcpLink listener, initiator;
    CRunning a(listener), b(initiator);
    listener.ArmListener(kPort);
    EXPECT_EQ(listener.GetStatusText(), "Waiting for connection");
    ASSERT_TRUE(WaitUntil([&] { return listener.GetState() == CTcpLink::State::kAwaitPeer; }));
    initiator.ArmInitiator(kLoopback, kPort);
    EXPECT_EQ(initiator.GetStatusText(), "Attempting to connect");
    ASSERT_TRUE(WaitUntil([&] {
        return listener.GetStatusCode() == CTcpLink::Status::kConnected &&
               initiator.GetStatusCode() == CTcpLink::Status::kConnected;
    }));
    EXPECT_EQ(listener.GetState(), CTcpLink::State::kConnectedAsListener);
    EXPECT_EQ(initiator.GetState(), CTcpLink::State::kConnectedAsInitiator);
    EXPECT_EQ(listener.GetConnectionGeneration(), 1u);
    EXPECT_EQ(initiator.GetConnectionGeneration(), 1u);
    // The status text is left as it was; the dialog shows "Connected" from the code.
    EXPECT_EQ(initiator.GetStatusText(), "Attempting to connect");

    // One record each way, read the way the injector reads it: length, then packet in place.
    for (auto [from, to] : {std::pair{&initiator, &listener}, std::pair{&listener, &initiator}}) {
        std::vector<std::uint8_t> record(4 + 3000);
        wire::PutRecordLength(record.data(), 3000);
        for (int i = 0; i < 3000; ++i) record[4 + i] = static_cast<std::uint8_t>(i);
        ASSERT_EQ(from->SendAll(reinterpret_cast<const char*>(record.data()), 3004), 3004);

        CRecordStream stream(wire::kFrameBufferSize);
        CRecordStream::Packet packet;
        bool got = false;
        auto end = Clock::now() + 3s;
        while (!got && Clock::now() < end) {
            if (!to->WaitReadable()) continue;
            int n = to->Receive(reinterpret_cast<char*>(stream.Space()), stream.SpaceSize());
            ASSERT_GE(n, 0);
            stream.Commit(n);
            got = stream.Next(packet) == CRecordStream::Event::kPacket;
        }
        ASSERT_TRUE(got);
        ASSERT_EQ(packet.length, 3000);
        EXPECT_EQ(std::memcmp(packet.frame + 14, record.data() + 4, 3000), 0);
    }
}

TEST_F(TcpLinkNet, PeerCloseSendsListenerBackToListening) {
    CTraceCapture trace;
    CTcpLink link;
    CRunning running(link);
    link.ArmListener(kPort);
    ASSERT_TRUE(WaitUntil([&] { return link.GetState() == CTcpLink::State::kAwaitPeer; }));
    CFd peer = RawConnect(kPort);
    ASSERT_TRUE(peer.Valid());
    ASSERT_TRUE(WaitUntil([&] { return link.GetStatusCode() == CTcpLink::Status::kConnected; }));

    peer.Close();
    ASSERT_TRUE(ReadUntilBroken(link));
    EXPECT_EQ(link.GetStatusText(), "Something went wrong - Waiting again");
    EXPECT_EQ(link.GetStatusCode(), CTcpLink::Status::kBusy);
    // The injector calls Recover again after -1: same state and text as one call.
    link.Recover();
    EXPECT_EQ(link.GetStatusText(), "Something went wrong - Waiting again");
    EXPECT_EQ(trace.Count("Disconnected - Redo From Start\n"), 2);

    // A fresh listening socket takes the next peer.
    ASSERT_TRUE(WaitUntil([&] { return link.GetState() == CTcpLink::State::kAwaitPeer; }));
    EXPECT_EQ(trace.Count("Bind To TCP port returned <0>\n"), 2);
    CFd again = RawConnect(kPort);
    ASSERT_TRUE(again.Valid());
    ASSERT_TRUE(WaitUntil([&] { return link.GetStatusCode() == CTcpLink::Status::kConnected; }));
    EXPECT_EQ(link.GetState(), CTcpLink::State::kConnectedAsListener);
    EXPECT_EQ(link.GetConnectionGeneration(), 2u);
}

TEST_F(TcpLinkNet, PeerCloseSendsInitiatorBackToConnecting) {
    CTcpLink link;
    CTraceCapture trace(&link);
    CFd listener = RawListen(kPort);
    ASSERT_TRUE(listener.Valid());
    CRunning running(link);
    link.ArmInitiator(kLoopback, kPort);
    CFd accepted = RawAccept(listener);
    ASSERT_TRUE(accepted.Valid());
    ASSERT_TRUE(WaitUntil([&] { return link.GetStatusCode() == CTcpLink::Status::kConnected; }));
    EXPECT_EQ(link.GetState(), CTcpLink::State::kConnectedAsInitiator);

    accepted.Close();
    ASSERT_TRUE(ReadUntilBroken(link));
    // Attempts again on the next pass, still showing why.
    CFd second = RawAccept(listener);
    ASSERT_TRUE(second.Valid());
    auto attempts = trace.Lines("Connecting\n");
    ASSERT_EQ(attempts.size(), 2u);
    EXPECT_EQ(attempts[0].status, "Attempting to connect");
    EXPECT_EQ(attempts[1].status, "Something went wrong - Connecting again");
    ASSERT_TRUE(WaitUntil([&] { return link.GetStatusCode() == CTcpLink::Status::kConnected; }));
    EXPECT_EQ(link.GetConnectionGeneration(), 2u);
}

TEST_F(TcpLinkNet, TakenPortIsRetriedEvery500msUntilFree) {
    CTraceCapture trace;
    CFd holder = RawListen(kPort);  // a live listener, with SO_REUSEADDR set as the link's is
    ASSERT_TRUE(holder.Valid());
    CTcpLink link;
    CRunning running(link);
    link.ArmListener(kPort);
    ASSERT_TRUE(WaitUntil([&] { return link.GetStatusCode() == CTcpLink::Status::kFailed; }));
    EXPECT_EQ(link.GetStatusText(), "Failed to bind to port");
    EXPECT_EQ(link.GetState(), CTcpLink::State::kOpenListener);
    ASSERT_TRUE(WaitUntil(
        [&] { return trace.Lines("Bind To TCP port returned <-1>\n").size() >= 4; }, 4000ms));
    auto binds = trace.Lines("Bind To TCP port returned <-1>\n");
    for (std::size_t i = 1; i < binds.size(); ++i) {
        long gap = Ms(binds[i].at - binds[i - 1].at);
        EXPECT_GE(gap, 480);
        EXPECT_LT(gap, 800);
    }

    holder.Close();
    ASSERT_TRUE(WaitUntil([&] {
        return link.GetState() == CTcpLink::State::kAwaitPeer &&
               link.GetStatusCode() == CTcpLink::Status::kBusy;
    }));
    EXPECT_EQ(link.GetStatusText(), "Failed to bind to port");  // until a peer connects
    CFd peer = RawConnect(kPort);
    ASSERT_TRUE(peer.Valid());
    ASSERT_TRUE(WaitUntil([&] { return link.GetStatusCode() == CTcpLink::Status::kConnected; }));
}

TEST_F(TcpLinkNet, RestartedListenerBindsWhileOldConnectionIsInTimeWait) {
    CTcpLink link;
    CRunning running(link);
    CFd peer = ConnectToListener(link);
    ASSERT_TRUE(peer.Valid());
    link.Reset();  // the listener's end closes first, so its port is the one left in TIME_WAIT
    ASSERT_TRUE(SeesEndOfStream(peer));
    peer.Close();
    ASSERT_TRUE(WaitUntil([&] {
        return m_ns->Output("ss -Htan state time-wait").find(":27659") != std::string::npos;
    }));

    link.ArmListener(kPort);
    ASSERT_TRUE(WaitUntil([&] { return link.GetState() == CTcpLink::State::kAwaitPeer; }, 1500ms));
    EXPECT_EQ(link.GetStatusCode(), CTcpLink::Status::kBusy);
    EXPECT_EQ(link.GetStatusText(), "Waiting for connection");
}

TEST_F(TcpLinkNet, PortAboveRangeUsesItsLow16Bits) {
    CTcpLink link;
    CRunning running(link);
    link.ArmListener(65536 + kPort);
    ASSERT_TRUE(WaitUntil([&] { return link.GetState() == CTcpLink::State::kAwaitPeer; }));
    CFd peer = RawConnect(kPort);
    ASSERT_TRUE(peer.Valid());
    ASSERT_TRUE(WaitUntil([&] { return link.GetStatusCode() == CTcpLink::Status::kConnected; }));

    CFd listener = RawListen(kPort + 1);
    CTcpLink initiator;
    CRunning running2(initiator);
    initiator.ArmInitiator(kLoopback, 3 * 65536 + kPort + 1);
    EXPECT_TRUE(RawAccept(listener).Valid());
    EXPECT_TRUE(
        WaitUntil([&] { return initiator.GetStatusCode() == CTcpLink::Status::kConnected; }));
}

// ---------------------------------------------------------------------------------------------
// Retries

TEST_F(TcpLinkNet, RefusedPeerGivesFiveAttemptsThenTheRetryWait) {
    CScaledLink link(25);  // 60 passes of the retry wait take 1.5 s
    CTraceCapture trace(&link);
    CRunning running(link);
    link.ArmInitiator(kLoopback, kPort);  // nothing listens: refused at once

    bool sawWait = false;
    ASSERT_TRUE(WaitUntil(
        [&] {
            if (link.GetState() == CTcpLink::State::kRetryWait &&
                link.GetStatusText() == "Waiting 1 minute before next connection retry.")
                sawWait = true;
            return trace.Count("Connecting\n") >= 10 &&
                   link.GetState() == CTcpLink::State::kRetryWait;
        },
        12000ms));
    EXPECT_TRUE(sawWait);
    EXPECT_EQ(link.GetStatusCode(), CTcpLink::Status::kBusy);

    auto attempts = trace.Lines("Connecting\n");
    ASSERT_EQ(attempts.size(), 10u);
    EXPECT_EQ(attempts[0].status, "Attempting to connect");
    for (int i = 1; i < 10; ++i) {
        long gap = Ms(attempts[i].at - attempts[i - 1].at);
        if (i == 5) {
            // 500 ms after the fifth failure, then 60 passes of 25 ms.
            EXPECT_EQ(attempts[i].status, "Something went wrong - Connecting again");
            EXPECT_GE(gap, 500 + 60 * 25 - 50);
            EXPECT_LT(gap, 4000);
        } else {
            EXPECT_EQ(attempts[i].status, "Failed to connect the socket") << i;
            EXPECT_GE(gap, 480) << i;
            EXPECT_LT(gap, 800) << i;
        }
    }
}

TEST_F(TcpLinkNet, RetryCounterCarriesOverAConnection) {
    CTcpLink link;
    CTraceCapture trace(&link);
    CRunning running(link);
    link.ArmInitiator(kLoopback, kPort);
    // Refuse two attempts, then listen for the third.
    ASSERT_TRUE(WaitUntil([&] { return trace.Count("Connecting\n") == 2; }));
    std::this_thread::sleep_for(150ms);
    CFd listener = RawListen(kPort);
    ASSERT_TRUE(listener.Valid());
    CFd accepted = RawAccept(listener);
    ASSERT_TRUE(accepted.Valid());
    ASSERT_TRUE(WaitUntil([&] { return link.GetStatusCode() == CTcpLink::Status::kConnected; }));
    EXPECT_EQ(trace.Count("Connecting\n"), 3);

    // Break it with nobody listening any more: three attempts are left, not five.
    listener.Close();
    accepted.Close();
    ASSERT_TRUE(ReadUntilBroken(link));
    ASSERT_TRUE(WaitUntil([&] { return link.GetState() == CTcpLink::State::kRetryWait; }, 4000ms));
    EXPECT_EQ(trace.Count("Connecting\n"), 6);
}

TEST_F(TcpLinkNet, ResetDuringTheLastFailedAttemptLeavesTheLinkIdle) {
    CTcpLink link;
    CTraceCapture trace(&link);
    CRunning running(link);
    link.ArmInitiator(kLoopback, kPort);
    // The fifth attempt fails at once; its 500 ms pause would end in the retry wait.
    ASSERT_TRUE(WaitUntil([&] { return trace.Count("Connecting\n") == 5; }, 5000ms));
    std::this_thread::sleep_for(50ms);
    link.Reset();
    ASSERT_TRUE(WaitUntil([&] {
        return link.GetState() == CTcpLink::State::kIdle &&
               link.GetStatusCode() == CTcpLink::Status::kIdle;
    }));
    // Over the rest of that pause and a pass after it: idle, and no sixth attempt.
    EXPECT_TRUE(HoldsFor(
        [&] {
            return link.GetState() == CTcpLink::State::kIdle &&
                   link.GetStatusCode() == CTcpLink::Status::kIdle &&
                   trace.Count("Connecting\n") == 5;
        },
        1200ms));
}

TEST_F(TcpLinkNet, ResetDuringABlockingConnectAbortsItAndLeavesNoSocket) {
    // A listener whose accept queue is full drops new SYNs, so the next connect blocks.
    CFd listener = RawListen(kPort, 0);
    CFd first = RawConnect(kPort);
    ASSERT_TRUE(first.Valid());
    int before = OpenDescriptors();

    CTcpLink link;
    CTraceCapture trace(&link);
    CRunning running(link);
    link.ArmInitiator(kLoopback, kPort);
    ASSERT_TRUE(WaitUntil([&] { return trace.Count("Connecting\n") == 1; }));
    EXPECT_TRUE(HoldsFor([&] { return link.GetState() == CTcpLink::State::kConnect; },
                         300ms));  // in the connect call
    EXPECT_EQ(link.GetStatusText(), "Attempting to connect");
    link.Reset();
    ASSERT_TRUE(WaitUntil([&] { return link.GetStatusCode() == CTcpLink::Status::kIdle; }, 1500ms));
    EXPECT_TRUE(HoldsFor([&] { return link.GetState() == CTcpLink::State::kIdle; }, 600ms));
    EXPECT_EQ(link.GetStatusText(), "Attempting to connect");  // the aborted attempt left no mark
    EXPECT_EQ(trace.Count("Connecting\n"), 1);
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(TcpLinkNet, StopDuringAConnectToASilentPeerEndsAtOnce) {
    // A peer whose SYNs vanish: a known neighbour on a veth whose far end holds no address.
    ASSERT_EQ(m_ns->Run("ip link add bh0 type veth peer name bh1 && ip link set bh0 up && "
                        "ip link set bh1 up && ip addr add 10.200.0.1/24 dev bh0 && "
                        "ip neigh add 10.200.0.2 lladdr 02:00:00:00:00:02 dev bh0 nud permanent"),
              0);
    CTcpLink link;
    CTraceCapture trace(&link);
    link.Launch();
    link.ArmInitiator(0x0AC80002, kPort);  // 10.200.0.2
    ASSERT_TRUE(WaitUntil([&] { return trace.Count("Connecting\n") == 1; }));
    // The system would keep trying for about two minutes.
    EXPECT_TRUE(HoldsFor([&] { return link.GetState() == CTcpLink::State::kConnect; }, 1500ms));
    auto start = Clock::now();
    link.RequestStop();
    link.Join();
    EXPECT_LT(Ms(Clock::now() - start), 1500);
    EXPECT_EQ(link.GetStatusText(), "Attempting to connect");  // the abandoned attempt left no mark
}

// ---------------------------------------------------------------------------------------------
// Keep-alives and sending

// Reads the raw stream as records; returns lengths seen (0 = keep-alive), checking each packet's
// bytes against the pattern the sender used.
std::vector<std::uint32_t> ReadRecords(const CFd& fd, int milliseconds, bool* intact) {
    std::vector<std::uint32_t> lengths;
    std::vector<std::uint8_t> packet(wire::kMaxPacketLength);
    auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
    *intact = true;
    while (Clock::now() < end) {
        std::uint8_t header[4];
        pollfd p{fd.Get(), POLLIN, 0};
        if (::poll(&p, 1, 20) != 1) continue;
        if (ReadExactly(fd, header, 4) != 4) break;
        std::uint32_t length = wire::GetRecordLength(header);
        lengths.push_back(length);
        if (length == 0) continue;
        if (length > wire::kMaxPacketLength ||
            ReadExactly(fd, packet.data(), static_cast<int>(length)) != static_cast<int>(length)) {
            *intact = false;
            break;
        }
        for (std::uint32_t i = 0; i < length; ++i)
            if (packet[i] != static_cast<std::uint8_t>(i % 251)) {
                *intact = false;
                return lengths;
            }
    }
    return lengths;
}

std::vector<char> PatternRecord(int packetLength) {
    std::vector<char> record(4 + static_cast<std::size_t>(packetLength));
    wire::PutRecordLength(reinterpret_cast<std::uint8_t*>(record.data()),
                          static_cast<std::uint32_t>(packetLength));
    for (int i = 0; i < packetLength; ++i) record[4 + i] = static_cast<char>(i % 251);
    return record;
}

TEST_F(TcpLinkNet, KeepAliveAfter60QuietPassesAndNoneWhileTrafficFlows) {
    CScaledLink link(20);  // 60 passes take 1.2 s
    CRunning running(link);
    CFd peer = ConnectToListener(link);
    ASSERT_TRUE(peer.Valid());

    // Quiet: four zero bytes, again about 60 passes later.
    std::uint8_t bytes[4];
    ASSERT_EQ(ReadExactly(peer, bytes, 4, 3000), 4);
    auto first = Clock::now();
    EXPECT_EQ(wire::GetRecordLength(bytes), 0u);
    ASSERT_EQ(ReadExactly(peer, bytes, 4, 4000), 4);
    long gap = Ms(Clock::now() - first);
    EXPECT_EQ(wire::GetRecordLength(bytes), 0u);
    EXPECT_GE(gap, 60 * 20 - 50);
    EXPECT_LT(gap, 3000);

    // A packet every 30 passes (600 ms of wall clock is at least 30 passes of 20 ms): no
    // keep-alive goes out at all.
    std::vector<char> record = PatternRecord(100);
    std::thread sender([&] {
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(link.SendAll(record.data(), static_cast<int>(record.size())), 104);
            std::this_thread::sleep_for(600ms);
        }
    });
    bool intact = false;
    std::vector<std::uint32_t> lengths = ReadRecords(peer, 3500, &intact);
    sender.join();
    EXPECT_TRUE(intact);
    EXPECT_EQ(lengths, std::vector<std::uint32_t>(6, 100u));
}

TEST_F(TcpLinkNet, KeepAlivesNeverLandInsideARecord) {
    // 1 ms passes: a keep-alive falls due about 60 ms after the last send began. The peer reads
    // in bursts with 100 ms breaks and small buffers, so records stay blocked in SendAll past that.
    CScaledLink link(1);
    CRunning running(link);
    link.ArmListener(kPort);
    ASSERT_TRUE(WaitUntil([&] { return link.GetState() == CTcpLink::State::kAwaitPeer; }));
    CFd peer(::socket(AF_INET, SOCK_STREAM, 0));
    int small = 8192, segment = 1200;
    ::setsockopt(peer.Get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ::setsockopt(peer.Get(), IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    sockaddr_in address = Loopback(kPort);
    ASSERT_EQ(::connect(peer.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(WaitUntil([&] { return link.GetStatusCode() == CTcpLink::Status::kConnected; }));

    // Eight records back to back into a peer that reads nothing for 300 ms and then reads in
    // bursts 100 ms apart: once the socket buffers are full, SendAll calls stay blocked well past
    // the 60 passes after which the link's keep-alive falls due. Then a quiet spell, in which
    // keep-alives do go out, and one more record.
    constexpr int kRecords = 9;
    std::vector<char> record = PatternRecord(wire::kMaxPacketLength);
    std::atomic<int> sent{0};
    std::atomic<long> longestSend{0};
    std::thread sender([&] {
        for (int i = 0; i < kRecords; ++i) {
            if (i == kRecords - 1) std::this_thread::sleep_for(200ms);
            auto start = Clock::now();
            if (link.SendAll(record.data(), static_cast<int>(record.size())) ==
                static_cast<int>(record.size()))
                ++sent;
            longestSend = std::max(longestSend.load(), Ms(Clock::now() - start));
        }
    });
    std::vector<std::uint8_t> stream;
    std::this_thread::sleep_for(300ms);
    auto end = Clock::now() + 8000ms;
    while (Clock::now() < end &&
           !(sent.load() == kRecords && stream.size() >= kRecords * record.size())) {
        std::uint8_t chunk[65536];
        long r;
        while ((r = ::recv(peer.Get(), chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
            stream.insert(stream.end(), chunk, chunk + r);
        std::this_thread::sleep_for(100ms);
    }
    sender.join();
    // Every record whole; keep-alives only between records.
    int records = 0, keepAlives = 0;
    std::size_t at = 0;
    while (stream.size() - at >= 4) {
        std::uint32_t length = wire::GetRecordLength(&stream[at]);
        at += 4;
        if (length == 0) {
            ++keepAlives;
            continue;
        }
        ASSERT_EQ(length, static_cast<std::uint32_t>(wire::kMaxPacketLength)) << "at " << at;
        if (at + length > stream.size()) break;
        for (std::uint32_t i = 0; i < length; ++i)
            ASSERT_EQ(stream[at + i], static_cast<std::uint8_t>(i % 251)) << "byte " << i;
        at += length;
        ++records;
    }
    EXPECT_EQ(records, kRecords);
    EXPECT_GE(keepAlives, 1);
    EXPECT_GT(longestSend.load(), 150);  // the case that matters did happen
}

// Sends whole records until asked to stop, as the forwarder does.
class CFloodingSender : public CWorkerThread {
  public:
    explicit CFloodingSender(CTcpLink& link) : m_link(link), m_record(PatternRecord(65522)) {}
    ~CFloodingSender() override = default;
    unsigned Run() override {
        while (IsRunning()) {
            int n = m_link.SendAll(m_record.data(), static_cast<int>(m_record.size()), this);
            if (n > 0) m_bytes += n;
        }
        return 0;
    }
    std::atomic<long> m_bytes{0};

  private:
    CTcpLink& m_link;
    std::vector<char> m_record;
};

TEST_F(TcpLinkNet, SendAllToAPeerThatNeverReadsGivesUpSoonAfterStop) {
    CScaledLink link(20);  // keep-alives are due too, and must not hold up the link's stop
    link.Launch();
    link.ArmListener(kPort);
    ASSERT_TRUE(WaitUntil([&] { return link.GetState() == CTcpLink::State::kAwaitPeer; }));
    CFd peer = RawConnect(kPort);  // never reads
    ASSERT_TRUE(WaitUntil([&] { return link.GetStatusCode() == CTcpLink::Status::kConnected; }));

    CFloodingSender sender(link);
    sender.Launch();
    // Wait until the socket buffers are full and the sender is stuck in SendAll.
    long last = -1;
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::this_thread::sleep_for(300ms);
            long now = sender.m_bytes.load();
            bool stuck = now == last && now > 0;
            last = now;
            return stuck;
        },
        8000ms));
    std::this_thread::sleep_for(1500ms);  // the link's keep-alive is due meanwhile

    auto start = Clock::now();
    sender.RequestStop();
    sender.Join();
    EXPECT_LT(Ms(Clock::now() - start), 1000);

    start = Clock::now();
    link.RequestStop();
    link.Join();
    EXPECT_LT(Ms(Clock::now() - start), 1500);
    EXPECT_TRUE(SeesEndOfStream(peer, 5000));
}

TEST_F(TcpLinkNet, ResetWhileConnectedClosesThePeersConnectionAndStaysIdle) {
    int before = OpenDescriptors();
    {
        CTcpLink link;
        CRunning running(link);
        link.ArmListener(kPort);
        ASSERT_TRUE(WaitUntil([&] { return link.GetState() == CTcpLink::State::kAwaitPeer; }));
        CFd peer = RawConnect(kPort);
        ASSERT_TRUE(
            WaitUntil([&] { return link.GetStatusCode() == CTcpLink::Status::kConnected; }));
        link.Reset();
        EXPECT_EQ(link.GetState(), CTcpLink::State::kIdle);
        EXPECT_TRUE(SeesEndOfStream(peer));
        ASSERT_TRUE(WaitUntil([&] { return link.GetStatusCode() == CTcpLink::Status::kIdle; }));
        EXPECT_TRUE(HoldsFor([&] { return link.GetState() == CTcpLink::State::kIdle; }, 1100ms));
        EXPECT_EQ(link.GetStatusText(), "Waiting for connection");  // kept, not shown while stopped
        EXPECT_EQ(link.SendAll("abcd", 4), 0);
        peer.Close();
        EXPECT_EQ(OpenDescriptors(), before);
    }
}

TEST_F(TcpLinkNet, ReceiveWithAnotherConnectionsGenerationReadsNothing) {
    CTcpLink link;
    CRunning running(link);
    CFd peer = ConnectToListener(link);
    ASSERT_TRUE(peer.Valid());
    std::uint32_t first = link.GetConnectionGeneration();
    ASSERT_NE(first, 0u);
    ASSERT_EQ(::send(peer.Get(), "hello", 5, 0), 5);
    ASSERT_TRUE(WaitUntil([&] { return link.WaitReadable(); }));
    char buffer[16];
    EXPECT_EQ(link.Receive(buffer, sizeof buffer, first + 1), 0);  // nothing taken
    EXPECT_EQ(link.Receive(buffer, sizeof buffer, first), 5);
    EXPECT_EQ(std::memcmp(buffer, "hello", 5), 0);

    peer.Close();
    ASSERT_TRUE(ReadUntilBroken(link));
    ASSERT_TRUE(WaitUntil([&] { return link.GetState() == CTcpLink::State::kAwaitPeer; }));
    CFd again = RawConnect(kPort);
    ASSERT_TRUE(WaitUntil([&] { return link.GetStatusCode() == CTcpLink::Status::kConnected; }));
    EXPECT_EQ(link.GetConnectionGeneration(), first + 1);
    ASSERT_EQ(::send(again.Get(), "x", 1, 0), 1);
    ASSERT_TRUE(WaitUntil([&] { return link.WaitReadable(); }));
    EXPECT_EQ(link.Receive(buffer, sizeof buffer, first), 0);  // a record of the old connection
    EXPECT_EQ(link.Receive(buffer, sizeof buffer, 0), 1);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// A peer that vanishes without closing, with the limits shortened (the real ones are 150 s of
// silence, 120 s unacknowledged and 150 s for a send without progress).

class CWatchedLink : public CTcpLink {
  public:
    CWatchedLink(unsigned silenceMs, unsigned unacknowledgedMs, unsigned stalledSendMs) {
        SetPassPauseForTests(20);
        SetLimitsForTests({silenceMs, unacknowledgedMs, stalledSendMs});
    }
};

TEST_F(TcpLinkNet, SilentPeerIsGivenUpWhileAPeerSendingKeepAlivesStays) {
    CWatchedLink link(1500, 60000, 60000);
    CRunning running(link);
    CFd peer = ConnectToListener(link);
    ASSERT_TRUE(peer.Valid());
    const std::uint32_t generation = link.GetConnectionGeneration();

    // A live peer: a keep-alive every 500 ms keeps the connection for three silence limits.
    const char keepAlive[4] = {0, 0, 0, 0};
    auto quiet = Clock::now();
    for (int i = 0; i < 9; ++i) {
        quiet = Clock::now();
        ASSERT_EQ(::send(peer.Get(), keepAlive, 4, MSG_NOSIGNAL), 4);
        std::this_thread::sleep_for(500ms);
        ASSERT_EQ(link.GetStatusCode(), CTcpLink::Status::kConnected)
            << "after " << (i + 1) * 500 << " ms";
    }
    // Gone quiet (our own keep-alives are still acknowledged by its kernel): given up within
    // the limit and a pass or two after its last keep-alive, through the usual recovery.
    ASSERT_TRUE(
        WaitUntil([&] { return link.GetStatusCode() != CTcpLink::Status::kConnected; }, 4000ms));
    long after = Ms(Clock::now() - quiet);
    EXPECT_GE(after, 1450);
    EXPECT_LT(after, 3500);
    EXPECT_EQ(link.GetStatusText(), "Something went wrong - Waiting again");
    EXPECT_TRUE(SeesEndOfStream(peer));
    // The next peer is taken as usual, once the link listens again (a connect before that is
    // refused, and nothing would ever connect).
    ASSERT_TRUE(WaitUntil([&] { return link.GetState() == CTcpLink::State::kAwaitPeer; }));
    CFd again = RawConnect(kPort);
    ASSERT_TRUE(again.Valid());
    ASSERT_TRUE(WaitUntil([&] { return link.GetStatusCode() == CTcpLink::Status::kConnected; }));
    EXPECT_EQ(link.GetConnectionGeneration(), generation + 1);
}

TEST_F(TcpLinkNet, SendThatMakesNoProgressEndsAndRecovers) {
    CWatchedLink link(60000, 60000, 1500);
    CRunning running(link);
    CFd peer = ConnectToListener(link);  // accepts and never reads
    ASSERT_TRUE(peer.Valid());

    CFloodingSender sender(link);
    sender.Launch();
    // The sender fills the buffers, then its send stays stuck until the limit ends it.
    ASSERT_TRUE(
        WaitUntil([&] { return link.GetStatusCode() != CTcpLink::Status::kConnected; }, 8000ms));
    EXPECT_EQ(link.GetStatusText(), "Something went wrong - Waiting again");
    EXPECT_GT(sender.m_bytes.load(), 0);
    auto start = Clock::now();
    sender.RequestStop();
    sender.Join();
    EXPECT_LT(Ms(Clock::now() - start), 1000);
}

// Over a veth to a second namespace whose card then goes down, as a peer whose power fails:
// the record sent afterwards is never acknowledged, and the kernel's limit ends the connection,
// which the reader finds as the injector would.
TEST_F(TcpLinkNet, UnacknowledgedDataEndsTheConnectionThroughTheUsualRecovery) {
    testsupport::CNetNamespace far("far");
    ASSERT_TRUE(far.Ok());
    ASSERT_TRUE(testsupport::CNetNamespace::Link(*m_ns, "vl", far, "vp"));
    ASSERT_EQ(m_ns->Run("ip addr add 10.88.0.1/24 dev vl"), 0);
    ASSERT_EQ(far.Run("ip addr add 10.88.0.2/24 dev vp"), 0);

    CFd listener;
    {
        testsupport::CNetNamespace::Enter inside(far);
        listener = CFd(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in a = testsupport::SocketAddress("10.88.0.2", kPort);
        ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(::listen(listener.Get(), 1), 0);
    }
    CWatchedLink link(60000, 1500, 60000);
    CRunning running(link);
    link.ArmInitiator(0x0A580002, kPort);  // 10.88.0.2
    CFd peer = RawAccept(listener);
    ASSERT_TRUE(peer.Valid());
    ASSERT_TRUE(WaitUntil([&] { return link.GetStatusCode() == CTcpLink::Status::kConnected; }));

    ASSERT_EQ(far.Run("ip link set vp down"), 0);
    std::vector<char> record = PatternRecord(100);
    auto start = Clock::now();
    EXPECT_EQ(link.SendAll(record.data(), static_cast<int>(record.size())), 104);
    ASSERT_TRUE(ReadUntilBroken(link, 6000));
    long after = Ms(Clock::now() - start);
    link.Recover();  // as the injector does after a failed receive
    EXPECT_GE(after, 1000);
    EXPECT_LT(after, 5000);
    EXPECT_EQ(link.GetStatusText(), "Something went wrong - Connecting again");
    EXPECT_NE(link.GetStatusCode(), CTcpLink::Status::kConnected);
}

// Sealed: once the handshake is through, an idle connection carries sealed keep-alives (a data
// message with no plaintext, 36 bytes) that the peer's channel opens.
TEST_F(TcpLinkNet, SealedIdleConnectionSendsSealedKeepAlives) {
    std::uint8_t keyBytes[seal::kKeySize];
    std::memset(keyBytes, 0x5A, sizeof keyBytes);
    const seal::CTunnelKey key = seal::CTunnelKey::FromBytes(keyBytes);
    auto ours = std::make_shared<seal::CSealedChannel>(key, seal::CSealedChannel::Mode::kStream);
    seal::CSealedChannel theirs(key, seal::CSealedChannel::Mode::kStream);
    CScaledLink link(20);
    link.SetSealedChannel(ours);
    CRunning running(link);
    CFd peer = ConnectToListener(link);
    ASSERT_TRUE(peer.Valid());

    std::uint8_t frame[256];
    std::uint8_t out[256];
    // Reads `n` bytes from the link into `frame`, as the injector would; bounded.
    auto receive = [&](int n) {
        int got = 0;
        for (int i = 0; i < 100 && got < n; ++i) {
            if (!link.WaitReadable()) continue;
            got += std::max(0, link.Receive(reinterpret_cast<char*>(frame) + got, n - got));
        }
        return got;
    };
    // The peer initiates; the link's side answers as the injector would, through SendAll.
    const int initiation = theirs.BeginConnection(true, frame, sizeof frame);
    ASSERT_GT(initiation, 0);
    ASSERT_EQ(::send(peer.Get(), frame, static_cast<std::size_t>(initiation), 0), initiation);
    ASSERT_EQ(receive(initiation), initiation);
    auto reply = ours->Receive(frame + 4, initiation - 4, out, sizeof out);
    ASSERT_EQ(reply.kind, seal::CSealedChannel::Received::Kind::kReply);
    ASSERT_EQ(link.SendAll(reinterpret_cast<const char*>(out), reply.length), reply.length);
    ASSERT_EQ(ReadExactly(peer, frame, reply.length), reply.length);
    auto confirmation = theirs.Receive(frame + 4, reply.length - 4, out, sizeof out);
    ASSERT_EQ(confirmation.kind, seal::CSealedChannel::Received::Kind::kReply);
    ASSERT_EQ(::send(peer.Get(), out, static_cast<std::size_t>(confirmation.length), 0),
              confirmation.length);
    ASSERT_EQ(receive(confirmation.length), confirmation.length);
    EXPECT_EQ(ours->Receive(frame + 4, confirmation.length - 4, out, sizeof out).kind,
              seal::CSealedChannel::Received::Kind::kData);

    // 60 idle passes of 20 ms: a keep-alive, sealed, then another.
    for (int keepAlive = 0; keepAlive < 2; ++keepAlive) {
        ASSERT_EQ(ReadExactly(peer, frame, 36), 36) << "keep-alive " << keepAlive;
        EXPECT_EQ(std::vector<std::uint8_t>(frame, frame + 4),
                  (std::vector<std::uint8_t>{32, 0, 0, 0xA5}));
        auto opened = theirs.Receive(frame + 4, 32, out, sizeof out);
        EXPECT_EQ(opened.kind, seal::CSealedChannel::Received::Kind::kData);
        EXPECT_EQ(opened.length, 0);
    }
    link.Reset();
}
