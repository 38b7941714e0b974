// vantrellctl against two engines carrying real traffic between two LANs in network
// namespaces: exact counts of a counted ping run, each drop reason provoked and counted under
// its own name, the neighbour table, --json, metrics in the exposition format, and clients
// that misbehave on the socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "control/StatusService.h"
#include "seal/SealFormat.h"
#include "tests/engine/TwoLans.h"
#include "tests/support/PacketCapture.h"
#include "tests/support/ProcessCounts.h"
#include "tests/support/SocketAddress.h"
#include "tests/support/StatusQuery.h"

namespace forwardtest {
namespace {

using Mode = CTunnelEngine::Mode;

using testsupport::CStatusQuery;

// An IPv4 packet of `length` bytes from `source` to host B (a wrong header checksum, so host B
// drops it quietly).
std::string Packet(int length, const char* source, std::uint8_t first = 0x45) {
    std::string p(static_cast<std::size_t>(length), 'x');
    const std::uint8_t header[12] = {
        first, 0, std::uint8_t(length >> 8), std::uint8_t(length), 0, 0, 0, 0, 64, 253, 0xDE, 0xAD};
    std::memcpy(p.data(), header, sizeof header);
    const std::uint32_t from = inet_addr(source), to = inet_addr(CTwoLans::kHostB);
    std::memcpy(p.data() + 12, &from, 4);
    std::memcpy(p.data() + 16, &to, 4);
    return p;
}

class StatusSocketUdp : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_NETWORK_PRIVILEGES();
        ASSERT_TRUE(m_lans.Ok());
        char folder[] = "/tmp/vantrell-status-XXXXXX";
        ASSERT_NE(::mkdtemp(folder), nullptr);
        m_runtime = folder;
        ::setenv("XDG_RUNTIME_DIR", m_runtime.c_str(), 1);
        ::unsetenv("RUNTIME_DIRECTORY");
        m_query = std::make_unique<CStatusQuery>(VANTRELLCTL_BINARY, m_runtime, [this] {
            for (int side : {0, 1})
                if (m_status[side]) m_status[side]->Publish(*m_ends[side], "Using UDP mode.");
        });
    }
    void TearDown() override {
        m_status[0].reset();
        m_status[1].reset();
        if (!m_runtime.empty()) CStatusQuery::Output("rm -rf " + m_runtime);
    }
    // Both ends started (the settings changed by `edit`) and serving sites A and B.
    void StartBoth(const std::function<void(CTunnelEngine::Settings&)>& edit = nullptr) {
        for (CTwoLans::Side side : {CTwoLans::kB, CTwoLans::kA}) {
            m_ends[side] = m_lans.Construct(side);
            CTunnelEngine::Settings s = m_lans.Settings(side, m_mode);
            if (edit) edit(s);
            m_ends[side]->SetSettings(s);
            ASSERT_TRUE(m_lans.Start(side, *m_ends[side]));
            m_status[side] = std::make_unique<CStatusService>();
            ASSERT_TRUE(m_status[side]->Open(side == CTwoLans::kA ? "A" : "B"));
        }
        ASSERT_TRUE(m_lans.PingUntil(CTwoLans::kA, CTwoLans::kHostB, 15));
    }
    std::string Ctl(const std::string& arguments) { return m_query->Run(arguments); }
    std::string Json(const char* site, const std::string& expression) {
        return m_query->Json(site, expression);
    }
    static long long Value(const std::string& text) {
        return text.empty() ? -1 : std::atoll(text.c_str());
    }
    long long Number(const char* site, const std::string& expression) {
        return Value(Json(site, expression));
    }
    long long WaitFor(const char* site, const std::string& expression, long long expected,
                      int seconds = 5) {
        return Value(m_query->WaitFor(site, expression, std::to_string(expected), seconds));
    }
    void SendToB(const std::string& datagram) {
        int s = -1;
        CTwoLans::Inside(m_lans.Router(CTwoLans::kA),
                         [&] { s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
        ASSERT_GE(s, 0);
        sockaddr_in b = testsupport::SocketAddress(CTwoLans::kWanB, CTwoLans::kPort);
        ::sendto(s, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&b), sizeof b);
        ::close(s);
    }

    Mode m_mode = Mode::kUdp;
    CTwoLans m_lans;
    std::unique_ptr<CTunnelEngine> m_ends[2];
    std::unique_ptr<CStatusService> m_status[2];
    std::string m_runtime;
    std::unique_ptr<CStatusQuery> m_query;  // publishes both ends' snapshots before each read
};

// Both modes (TCP: A initiates, B listens).
class StatusSocket : public StatusSocketUdp, public ::testing::WithParamInterface<Mode> {
  protected:
    void SetUp() override {
        m_mode = GetParam();
        StatusSocketUdp::SetUp();
    }
};

TEST_P(StatusSocket, ACountedPingIsCountedExactlyAndTheNeighboursAreListed) {
    StartBoth();
    const char* kKeys[] = {"tx_packets", "rx_packets", "tx_bytes", "rx_bytes"};
    // The counts before the counted ping, once the pings that found the tunnel up are in them.
    long long before[2][4];
    for (int side : {0, 1}) {
        const std::string counts = m_query->Settled(
            side == 0 ? "A" : "B",
            "e[\"tx_packets\"], e[\"rx_packets\"], e[\"tx_bytes\"], e[\"rx_bytes\"]");
        ASSERT_EQ(std::sscanf(counts.c_str(), "%lld %lld %lld %lld", &before[side][0],
                              &before[side][1], &before[side][2], &before[side][3]),
                  4)
            << counts;
    }
    ASSERT_EQ(m_lans.Host(CTwoLans::kA).Run("ping -q -c 10 -i 0.2 -W 2 10.2.0.10 >/dev/null"), 0);
    // 10 echo requests one way and 10 replies back, 84 IP bytes each, at both ends.
    const long long expected[4] = {10, 10, 840, 840};
    for (int side : {0, 1}) {
        for (int k = 0; k < 4; ++k) {
            const std::string key = std::string("e[\"") + kKeys[k] + "\"]";
            EXPECT_EQ(WaitFor(side == 0 ? "A" : "B", key, before[side][k] + expected[k]),
                      before[side][k] + expected[k])
                << (side == 0 ? "A " : "B ") << kKeys[k];
        }
    }
    for (int side : {0, 1}) {
        const char* site = side == 0 ? "A" : "B";
        const std::string host = side == 0 ? CTwoLans::kHostA : CTwoLans::kHostB;
        EXPECT_EQ(
            Json(site,
                 "[(n[\"mac\"], n[\"state\"]) for n in e[\"neighbours\"] if n[\"address\"] == \"" +
                     host + "\"]"),
            "[('" + m_lans.HostMac(side) + "', 'reachable')]");
        EXPECT_EQ(Json(site, "e[\"mode\"], e[\"sealed\"], e[\"running\"], e[\"lan_card\"]"),
                  std::string(m_mode == Mode::kUdp ? "udp"
                              : side == 0          ? "tcp_initiator"
                                                   : "tcp_listener") +
                      " False True lan0");
    }
    const std::string human = Ctl("status B");
    EXPECT_NE(human.find("site: B\n"), std::string::npos) << human;
    EXPECT_NE(human.find("transfer: "), std::string::npos) << human;
    EXPECT_NE(human.find("neighbour: 10.2.0.10"), std::string::npos) << human;
    EXPECT_NE(Ctl("").find("site: A\n"), std::string::npos) << "every end without a site";
    EXPECT_EQ(
        CStatusQuery::Output(std::string(VANTRELLCTL_BINARY " --bogus >/dev/null 2>&1; echo $?")),
        "2\n");
}

// The exposition format, checked line by line: HELP and TYPE before each family's samples,
// counters named *_total, only the site and small fixed labels, integer values.
TEST_P(StatusSocket, MetricsFollowTheExpositionFormat) {
    StartBoth();
    const std::string text = Ctl("metrics");
    const std::regex help(R"(# HELP (vantrell_[a-z_]+) [^\n]+)"),
        type(R"(# TYPE (vantrell_[a-z_]+) (counter|gauge))");
    const std::regex sample(
        R"((vantrell_[a-z_]+)\{site="[AB]"(,(direction|reason|state)="[a-z_]+")*\} [0-9]+)");
    std::set<std::string> described, typed;
    std::smatch m;
    int samples = 0, line = 0;
    for (std::size_t at = 0, end; at < text.size(); at = end + 1, ++line) {
        end = text.find('\n', at);
        ASSERT_NE(end, std::string::npos) << "the last line ends with a newline";
        const std::string l = text.substr(at, end - at);
        if (std::regex_match(l, m, help)) {
            EXPECT_TRUE(described.insert(m[1]).second) << "one HELP per family: " << l;
        } else if (std::regex_match(l, m, type)) {
            EXPECT_TRUE(described.count(m[1])) << l;
            EXPECT_EQ(m[2] == "counter", std::string(m[1]).ends_with("_total")) << l;
            typed.insert(m[1]);
        } else {
            ASSERT_TRUE(std::regex_match(l, m, sample)) << "line " << line << ": " << l;
            EXPECT_TRUE(typed.count(m[1])) << "sample before its TYPE: " << l;
            ++samples;
        }
    }
    EXPECT_GE(samples, 2 * 15);
    EXPECT_NE(text.find("vantrell_dropped_packets_total{site=\"B\",reason=\"no_arp_answer\"} "),
              std::string::npos);
    // And by the ecosystem's own linter: the test command takes promtool out of Debian's
    // prometheus package (without installing the server) and names it in VANTRELL_PROMTOOL.
    const char* promtool = std::getenv("VANTRELL_PROMTOOL");
    if (promtool == nullptr || *promtool == '\0') {
        if (testsupport::RunningUnderCi())
            ADD_FAILURE() << "CI=true but VANTRELL_PROMTOOL is unset";
        std::printf("[ metrics ] no promtool: checked by the parser above only\n");
        return;
    }
    EXPECT_EQ(Ctl(std::string("metrics | ") + promtool + " check metrics 2>&1; echo status=$?"),
              "status=0\n");
}

TEST_P(StatusSocket, EachDropIsCountedUnderItsOwnName) {
    StartBoth();
    auto drop = [&](const char* site, const char* reason) {
        return Number(site, std::string("e[\"dropped\"][\"") + reason + "\"]");
    };
    // Whether the count has grown to at least `least` (polled as WaitFor polls).
    auto reaches = [&](const char* site, const char* reason, long long least) {
        const std::string count = std::string("e[\"dropped\"][\"") + reason + "\"]";
        return WaitFor(site, "min(" + count + ", " + std::to_string(least) + ")", least, 10) ==
               least;
    };
    // A host of the far subnet that is not there, 20 echo requests within 0.2 s: B's neighbour
    // table gives up on it, and holds only 8 frames while it asks.
    const long long noAnswer = drop("B", "no_arp_answer"), full = drop("B", "neighbour_queue_full");
    m_lans.Host(CTwoLans::kA).Run("ping -q -c 20 -i 0.01 -W 1 10.2.0.99 >/dev/null");
    EXPECT_TRUE(reaches("B", "no_arp_answer", noAnswer + 1));
    EXPECT_TRUE(reaches("B", "neighbour_queue_full", full + 1));
    // Host A sends to a third subnet through its virtual router: A's forwarder keeps it out.
    const long long outsideA = drop("A", "outside_subnets");
    m_lans.Host(CTwoLans::kA)
        .Run(
            "ip route add 10.3.0.0/24 via 10.1.0.1 && "
            "ping -q -c 2 -i 0.2 -W 1 10.3.0.7 >/dev/null");
    EXPECT_EQ(WaitFor("A", "e[\"dropped\"][\"outside_subnets\"]", outsideA + 2), outsideA + 2);
    if (m_mode != Mode::kUdp) return;  // the rest are UDP datagrams crafted into B
    const long long outside = drop("B", "outside_subnets"), refused = drop("B", "injector_refused"),
                    fragments = drop("B", "bad_fragment");
    SendToB("\x80" + Packet(60, "10.5.0.10"));                  // from outside the other subnet
    SendToB("\x80" + Packet(60, "10.1.0.10", 0x44));            // a header length of 4 words
    SendToB(std::string(1, '\x01') + Packet(60, "10.1.0.10"));  // fragment 1 without fragment 0
    EXPECT_EQ(WaitFor("B", "e[\"dropped\"][\"outside_subnets\"]", outside + 1), outside + 1);
    EXPECT_EQ(WaitFor("B", "e[\"dropped\"][\"injector_refused\"]", refused + 1), refused + 1);
    EXPECT_EQ(WaitFor("B", "e[\"dropped\"][\"bad_fragment\"]", fragments + 1), fragments + 1);
}

TEST_F(StatusSocketUdp, SealedMessagesThatFailAuthenticationOrReplayAreCounted) {
    StartBoth([](CTunnelEngine::Settings& s) {
        std::uint8_t bytes[seal::kKeySize];
        for (int i = 0; i < seal::kKeySize; ++i) bytes[i] = static_cast<std::uint8_t>(3 * i + 1);
        s.key = seal::CTunnelKey::FromBytes(bytes);
    });
    EXPECT_EQ(Json("B", "e[\"sealed\"], e[\"last_handshake_sec\"] >= 0, e[\"rekeys\"]"),
              "True True 0");
    const long long failed = Number("B", "e[\"dropped\"][\"auth_failed\"]");
    // A data message of the current session whose ciphertext and tag are not what the key
    // makes: as a message with a bit flipped on the way.
    const std::uint32_t index = m_ends[CTwoLans::kB]->SealedChannel()->CurrentSession().localIndex;
    std::string message(seal::kDataOverhead + 64, '\x5a');
    message[0] = static_cast<char>(seal::kTypeData);
    message[1] = message[2] = message[3] = 0;
    for (int i = 0; i < 4; ++i) message[4 + i] = static_cast<char>(index >> (8 * i));
    for (int i = 0; i < 8; ++i) message[8 + i] = i == 2 ? 1 : 0;  // a fresh counter
    SendToB(message);
    EXPECT_EQ(WaitFor("B", "e[\"dropped\"][\"auth_failed\"]", failed + 1), failed + 1);

    // A genuine data message to B taken off B's WAN (both ends use one port number: the
    // address tells the way) and sent twice more: replays, not failures.
    std::string genuine;
    for (int attempt = 0; attempt < 3 && genuine.empty(); ++attempt) {
        testsupport::CPacketCapture wan;
        ASSERT_TRUE(wan.Start(m_lans.Router(CTwoLans::kB), "wan0",
                              std::string("udp and dst host ") + CTwoLans::kWanB));
        EXPECT_TRUE(m_lans.PingOnce(CTwoLans::kA, CTwoLans::kHostB));
        wan.Stop();
        for (const std::string& frame : wan.Frames()) {
            const std::string payload = testsupport::CPacketCapture::TransportPayload(frame);
            if (payload.size() > std::size_t(seal::kDataOverhead) && payload[0] == seal::kTypeData)
                genuine = payload;
        }
    }
    ASSERT_FALSE(genuine.empty()) << "no sealed data message seen on B's WAN";
    const long long replayed = Number("B", "e[\"dropped\"][\"replayed\"]");
    SendToB(genuine);
    SendToB(genuine);
    EXPECT_EQ(WaitFor("B", "e[\"dropped\"][\"replayed\"]", replayed + 2), replayed + 2);
    EXPECT_EQ(Number("B", "e[\"dropped\"][\"auth_failed\"]"), failed + 1);
    EXPECT_TRUE(m_lans.PingOnce(CTwoLans::kA, CTwoLans::kHostB));
}

// A stranger who reaches B's TCP listener before A and sends a record longer than the frame
// buffer: B ends that connection and counts the record.
TEST_F(StatusSocketUdp, ARecordOfARefusedLengthIsCounted) {
    m_ends[CTwoLans::kB] = m_lans.Construct(CTwoLans::kB);
    m_ends[CTwoLans::kB]->SetSettings(m_lans.Settings(CTwoLans::kB, Mode::kTcpInitiator));
    ASSERT_TRUE(m_lans.Start(CTwoLans::kB, *m_ends[CTwoLans::kB]));
    m_status[CTwoLans::kB] = std::make_unique<CStatusService>();
    ASSERT_TRUE(m_status[CTwoLans::kB]->Open("B"));
    int s = -1;
    sockaddr_in b = testsupport::SocketAddress(CTwoLans::kWanB, CTwoLans::kPort);
    bool connected = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!connected && std::chrono::steady_clock::now() < end) {  // until B listens
        CTwoLans::Inside(m_lans.Router(CTwoLans::kA),
                         [&] { s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); });
        ASSERT_GE(s, 0);
        connected = ::connect(s, reinterpret_cast<sockaddr*>(&b), sizeof b) == 0;
        if (!connected) {
            ::close(s);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    ASSERT_TRUE(connected);
    const unsigned char record[4] = {0x00, 0x00, 0x01, 0x00};  // 65536, little-endian
    ASSERT_EQ(::send(s, record, sizeof record, MSG_NOSIGNAL), 4);
    EXPECT_EQ(WaitFor("B", "e[\"dropped\"][\"bad_record_length\"]", 1), 1);
    timeval limit{5, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char byte;
    EXPECT_EQ(::recv(s, &byte, 1, 0), 0) << "B ended the connection";
    ::close(s);
}

// Garbage, 1 MB, a client that says nothing, a hundred at once: each gets an error or is let
// go, the status is still answered, the tunnel still carries, and no descriptor is left.
TEST_F(StatusSocketUdp, BadClientsCostNothing) {
    StartBoth();
    const std::string path = m_status[CTwoLans::kB]->Path();
    auto connectToB = [&] {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval limit{3, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return fd;
    };
    auto answer = [](int fd) {
        std::string text;
        char buffer[512];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            text.append(buffer, size_t(n));
        ::close(fd);
        return text;
    };
    const int descriptors = testsupport::OpenDescriptors();
    int fd = connectToB();
    ::send(fd, "set=1\nprivate_key=x\n", 20, MSG_NOSIGNAL);
    EXPECT_EQ(answer(fd), "errno=22\n\n") << "nothing changes the tunnel";
    fd = connectToB();
    const std::string flood(1 << 20, 'g');
    ::send(fd, flood.data(), flood.size(), MSG_NOSIGNAL);  // cut short when the server closes
    EXPECT_EQ(answer(fd).substr(0, 8), "errno=22");
    const auto sleeperStart = std::chrono::steady_clock::now();
    EXPECT_EQ(answer(connectToB()), "") << "a client that says nothing is let go";
    EXPECT_LT(std::chrono::steady_clock::now() - sleeperStart, std::chrono::milliseconds(2500));

    std::vector<int> crowd;
    for (int i = 0; i < 100; ++i) crowd.push_back(connectToB());
    EXPECT_NE(Ctl("status B").find("site: B"), std::string::npos) << "answered among a crowd";
    EXPECT_TRUE(m_lans.PingOnce(CTwoLans::kA, CTwoLans::kHostB));
    for (int c : crowd) ::close(c);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (testsupport::OpenDescriptors() != descriptors &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(testsupport::OpenDescriptors(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(Modes, StatusSocket, ::testing::Values(Mode::kUdp, Mode::kTcpInitiator),
                         [](const auto& info) { return info.param == Mode::kUdp ? "Udp" : "Tcp"; });

}  // namespace
}  // namespace forwardtest
