// The ARP agent on a real LAN: a veth pair whose one end lives in the agent's namespace (no
// address: the agent is the only one there) and whose other end is a Linux host in the peer's
// namespace. The peer's kernel asks and answers ARP; a second capture on the peer's side counts
// and compares what the agent puts on the wire.
//
//   [agent ns] va (agent: 10.77.0.100, 02:56:54:00:00:64) ===== vp 10.77.0.2/24 [peer ns]
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/arp/ArpAgent.h"
#include "engine/arp/ArpFrames.h"
#include "engine/arp/MacAddress.h"
#include "platform/PcapCompat.h"
#include "platform/Trace.h"
#include "tests/support/NetNamespace.h"

namespace {

using testsupport::CNetNamespace;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kVirtualMacText = "02:56:54:00:00:64";
constexpr std::uint32_t kVirtualHost = 0x0A4D0064;  // 10.77.0.100, host order
const std::uint32_t kPeer = inet_addr("10.77.0.2");
const std::uint32_t kNobody = inet_addr("10.77.0.9");

long Ms(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

std::mutex g_traceMutex;
std::vector<std::string> g_trace;
void CollectTrace(const char* line) {
    std::lock_guard lock(g_traceMutex);
    g_trace.emplace_back(line);
}
bool Traced(const std::string& line) {
    std::lock_guard lock(g_traceMutex);
    for (const auto& l : g_trace)
        if (l == line) return true;
    return false;
}

// A capture in the peer's namespace of every frame whose Ethernet source is the virtual MAC.
class CPeerCapture {
  public:
    CPeerCapture(const CNetNamespace& ns, const char* device) {
        CNetNamespace::Enter inside(ns);
        char error[PCAP_ERRBUF_SIZE];
        m_handle = platform::OpenLiveCapture(device, 65536, false, 50, error);
        if (m_handle == nullptr) return;
        bpf_program program;
        std::string filter = std::string("ether src ") + kVirtualMacText;
        if (pcap_compile(m_handle, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) == 0) {
            m_ok = pcap_setfilter(m_handle, &program) == 0;
            pcap_freecode(&program);
        }
    }
    ~CPeerCapture() {
        if (m_handle != nullptr) pcap_close(m_handle);
    }
    bool Ok() const { return m_ok; }

    // Every frame that arrives within `milliseconds` (at most 1000 frames); a frame is kept as
    // captured and must not have been cut short.
    std::vector<Bytes> Collect(int milliseconds) {
        std::vector<Bytes> frames;
        auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
        while (Clock::now() < deadline && frames.size() < 1000) {
            pcap_pkthdr* header;
            const u_char* data;
            int result = platform::NextFrame(m_handle, &header, &data, 20);
            if (result < 0) break;
            if (result == 0) continue;
            EXPECT_EQ(header->len, header->caplen);
            frames.emplace_back(data, data + header->caplen);
        }
        return frames;
    }

  private:
    pcap_t* m_handle = nullptr;
    bool m_ok = false;
};

class ArpAgentNet : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_NETWORK_PRIVILEGES();
        m_agentNs = std::make_unique<CNetNamespace>("arpa");
        m_peerNs = std::make_unique<CNetNamespace>("arpp");
        ASSERT_TRUE(m_agentNs->Ok() && m_peerNs->Ok());
        ASSERT_TRUE(CNetNamespace::Link(*m_agentNs, "va", *m_peerNs, "vp"));
        ASSERT_EQ(0, m_peerNs->Run("ip addr add 10.77.0.2/24 dev vp"));
        std::string mac = m_peerNs->Output("cat /sys/class/net/vp/address");
        CMacAddress peerMac;
        ASSERT_EQ(peerMac.Parse(mac.substr(0, mac.find('\n')).c_str()), CMacAddress::Problem::kNone)
            << mac;
        std::memcpy(m_peerMac.data(), peerMac.Bytes(), 6);
        m_capture = std::make_unique<CPeerCapture>(*m_peerNs, "vp");
        ASSERT_TRUE(m_capture->Ok());

        std::strcpy(m_adapterName, "va");
        m_adapter.name = m_adapterName;
        m_agent = std::make_unique<CArpAgent>();
        m_agent->SetRespond(true);
        CMacAddress virtualMac;
        ASSERT_EQ(virtualMac.Parse(kVirtualMacText), CMacAddress::Problem::kNone);
        m_agent->SetVirtualRouter(kVirtualHost, virtualMac.Bytes());
        m_agent->Neighbours().Configure(kVirtualHost, 0xFFFFFF00, kVirtualHost);
        m_agent->SetAdapter(&m_adapter);
    }
    void TearDown() override {
        if (m_agent) {
            m_agent->RequestStop();
            m_agent->Join();
        }
        platform::SetTraceSink(nullptr);
    }

    // Launched from inside the agent's namespace: the agent's thread stays there.
    void LaunchAgent() {
        CNetNamespace::Enter inside(*m_agentNs);
        ASSERT_TRUE(inside.Ok());
        m_agent->Launch();
    }

    // What the agent posted to its resolver within `milliseconds` (woken by its handle).
    std::vector<CNeighbourResolver::Learned> Posted(int milliseconds) {
        std::vector<CNeighbourResolver::Learned> posted;
        CNeighbourResolver& resolver = m_agent->Neighbours();
        const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
        for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
            platform::WaitReadableOrWoken(INVALID_SOCKET, resolver.WakeHandle(),
                                          static_cast<int>(Ms(deadline - now)) + 1);
            CNeighbourResolver::Learned learned[CNeighbourResolver::kMailbox];
            const int count = resolver.TakeLearned(learned);
            posted.insert(posted.end(), learned, learned + count);
        }
        return posted;
    }

    std::string PingAndNeighbour() {
        m_peerNs->Run("ping -c 1 -W 1 10.77.0.100");  // nobody answers the echo itself
        return m_peerNs->Output("ip neigh show 10.77.0.100 dev vp");
    }

    Bytes ExpectedRequest(std::uint32_t target) {
        std::array<std::uint8_t, 42> request, reply;
        CArpFrames::BuildRequestTemplate(request.data());
        CArpFrames::BuildReplyTemplate(request.data(), reply.data());
        CArpFrames::SetVirtualRouter(request.data(), reply.data(), htonl(kVirtualHost),
                                     m_agent->GetVirtualMac());
        CArpFrames::SetRequestTarget(request.data(), target);
        return Bytes(request.begin(), request.end());
    }

    std::unique_ptr<CNetNamespace> m_agentNs, m_peerNs;
    std::unique_ptr<CPeerCapture> m_capture;
    std::array<std::uint8_t, 6> m_peerMac{};
    char m_adapterName[16];
    pcap_if_t m_adapter{};
    std::unique_ptr<CArpAgent> m_agent;
};

TEST_F(ArpAgentNet, AnswersTheKernelsRequestWithTheReplyTemplate) {
    LaunchAgent();
    ASSERT_NE(m_agent->WaitForCapture(), nullptr);

    std::string neighbour = PingAndNeighbour();
    EXPECT_NE(neighbour.find(std::string("lladdr ") + kVirtualMacText), std::string::npos)
        << neighbour;

    std::vector<Bytes> frames = m_capture->Collect(200);
    ASSERT_EQ(frames.size(), 1u);
    Bytes expected = ExpectedRequest(0);
    expected[21] = 0x02;
    std::memcpy(expected.data(), m_peerMac.data(), 6);
    std::memcpy(expected.data() + 32, m_peerMac.data(), 6);
    std::memcpy(expected.data() + 38, &kPeer, 4);
    EXPECT_EQ(frames[0], expected);  // 42 bytes, not padded

    // The peer's request told who it is; the agent's own reply, which went out through the send
    // handle, told nothing (the virtual address is never posted).
    std::vector<CNeighbourResolver::Learned> posted = Posted(100);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].address, kPeer);
    EXPECT_EQ(0, std::memcmp(posted[0].mac, m_peerMac.data(), 6));
    // Its own request is neither answered by itself nor posted.
    ASSERT_TRUE(m_agent->SendRequest(htonl(kVirtualHost), nullptr));
    frames = m_capture->Collect(200);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], ExpectedRequest(htonl(kVirtualHost)));
    EXPECT_TRUE(Posted(50).empty());
}

TEST_F(ArpAgentNet, RespondFlagTakesEffectWhileRunning) {
    m_agent->SetRespond(false);
    LaunchAgent();
    ASSERT_NE(m_agent->WaitForCapture(), nullptr);

    std::string neighbour = PingAndNeighbour();
    EXPECT_EQ(neighbour.find("lladdr"), std::string::npos) << neighbour;
    EXPECT_EQ(m_capture->Collect(100).size(), 0u);

    m_agent->SetRespond(true);
    m_peerNs->Run("ip neigh flush dev vp");
    neighbour = PingAndNeighbour();
    EXPECT_NE(neighbour.find(std::string("lladdr ") + kVirtualMacText), std::string::npos)
        << neighbour;
    EXPECT_EQ(m_capture->Collect(100).size(), 1u);

    m_agent->SetRespond(false);
    m_peerNs->Run("ip neigh flush dev vp");
    neighbour = PingAndNeighbour();
    EXPECT_EQ(neighbour.find("lladdr"), std::string::npos) << neighbour;
    EXPECT_EQ(m_capture->Collect(100).size(), 0u);
}

// Requests go out as the resolver asks (broadcast, or a probe to one MAC, after which the
// template is broadcast again); every answer is posted with its sender, foreign senders are not,
// and the wake handle is signalled until the mailbox is emptied. The mailbox outlives a stop.
TEST_F(ArpAgentNet, SendsRequestsAndProbesAndPostsWhatItHears) {
    {
        std::lock_guard lock(g_traceMutex);
        g_trace.clear();
    }
    platform::SetTraceSink(&CollectTrace);
    LaunchAgent();
    ASSERT_NE(m_agent->WaitForCapture(), nullptr);
    CNeighbourResolver& resolver = m_agent->Neighbours();

    ASSERT_TRUE(m_agent->SendRequest(kPeer, nullptr));
    std::vector<CNeighbourResolver::Learned> posted = Posted(150);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].address, kPeer);
    EXPECT_EQ(0, std::memcmp(posted[0].mac, m_peerMac.data(), 6));
    std::vector<Bytes> frames = m_capture->Collect(100);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], ExpectedRequest(kPeer));
    EXPECT_TRUE(Traced("Packet appears to be valid ARP IP= 10.77.0.2\n"));
    EXPECT_FALSE(resolver.HasLearned());

    ASSERT_TRUE(m_agent->SendRequest(kPeer, m_peerMac.data()));
    ASSERT_TRUE(m_agent->SendRequest(kNobody, nullptr));
    frames = m_capture->Collect(150);
    ASSERT_EQ(frames.size(), 2u);
    Bytes probe = ExpectedRequest(kPeer);
    std::memcpy(probe.data(), m_peerMac.data(), 6);
    EXPECT_EQ(frames[0], probe);
    EXPECT_EQ(frames[1], ExpectedRequest(kNobody));
    posted = Posted(100);
    ASSERT_EQ(posted.size(), 1u);  // the probe's answer; nobody holds .9
    EXPECT_EQ(posted[0].address, kPeer);

    // A host of another subnet on the same wire is not posted.
    m_peerNs->Run("ip addr add 10.78.0.2/24 dev vp");
    ASSERT_EQ(0, m_peerNs->Run("arping -q -c 1 -A -I vp 10.78.0.2"));
    for (const auto& learned : Posted(150)) EXPECT_EQ(learned.address, kPeer);
    EXPECT_TRUE(Traced("Packet appears to be valid ARP IP= 10.78.0.2\n"));  // heard all the same

    // A silent LAN: the stop is seen within one 250 ms read; the resolver stays.
    auto start = Clock::now();
    m_agent->RequestStop();
    m_agent->Join();
    EXPECT_LT(Ms(Clock::now() - start), 500);
    EXPECT_EQ(m_agent->WaitForCapture(), nullptr);
    std::uint8_t frame[42] = {};
    EXPECT_FALSE(m_agent->SendFrame(frame, sizeof frame));
    EXPECT_FALSE(m_agent->SendRequest(kPeer, nullptr));
    EXPECT_EQ(&m_agent->Neighbours(), &resolver);
}

// The injector's sends while the card goes away and comes back: sends go out while it is open,
// report false (never touching a closed handle) while it is away, and go out again through the
// agent's new handles once the card is created again under its old name.
TEST_F(ArpAgentNet, SendFrameSurvivesTheCardGoingAwayAndComingBack) {
    testing::internal::CaptureStderr();
    LaunchAgent();
    ASSERT_NE(m_agent->WaitForCapture(), nullptr);

    Bytes frame(60, 0);
    std::memcpy(frame.data(), m_peerMac.data(), 6);
    std::memcpy(frame.data() + 6, m_agent->GetVirtualMac(), 6);
    frame[12] = 0x88;
    frame[13] = 0xB5;  // local experimental EtherType
    std::memcpy(frame.data() + 14, "SendFrameSurvivesTheCard", 24);
    ASSERT_TRUE(m_agent->SendFrame(frame.data(), static_cast<int>(frame.size())));
    std::vector<Bytes> frames = m_capture->Collect(150);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], frame);

    // An injector-like thread resolves and sends until the capture has gone.
    std::atomic<bool> sawFalse{false};
    std::atomic<int> sent{0};
    std::thread injector([&] {
        auto deadline = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < deadline) {
            m_agent->SendRequest(kPeer, nullptr);
            if (!m_agent->SendFrame(frame.data(), static_cast<int>(frame.size()))) {
                sawFalse = true;
                break;
            }
            ++sent;
        }
    });
    while (sent.load() < 20 && !sawFalse.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    m_capture.reset();                 // its handle is on vp, which goes with va
    m_agentNs->Run("ip link del va");  // the agent's read fails: it closes both handles
    injector.join();
    EXPECT_TRUE(sawFalse.load());
    EXPECT_GE(sent.load(), 20);

    // Away: nothing is sent.
    EXPECT_FALSE(m_agent->SendFrame(frame.data(), static_cast<int>(frame.size())));
    EXPECT_FALSE(m_agent->SendRequest(kNobody, nullptr));

    // Back under the same name: the agent opens it again by itself within a second or so.
    ASSERT_TRUE(CNetNamespace::Link(*m_agentNs, "va", *m_peerNs, "vp"));
    ASSERT_EQ(0, m_peerNs->Run("ip addr add 10.77.0.2/24 dev vp"));
    m_capture = std::make_unique<CPeerCapture>(*m_peerNs, "vp");
    ASSERT_TRUE(m_capture->Ok());
    bool back = false;
    for (int i = 0; i < 40 && !back; ++i) {
        back = m_agent->SendFrame(frame.data(), static_cast<int>(frame.size()));
        if (!back) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(back);
    frames = m_capture->Collect(150);
    ASSERT_GE(frames.size(), 1u);
    EXPECT_EQ(frames.back(), frame);
    // Answering works again on the new card.
    EXPECT_NE(PingAndNeighbour().find("02:56:54:00:00:64"), std::string::npos);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("LAN card va lost ("), std::string::npos) << errors;
    EXPECT_NE(errors.find("LAN card va is back.\n"), std::string::npos) << errors;
}

// A card that cannot be opened is retried quietly (one line, not one per attempt), and a stop
// request is seen at once.
TEST_F(ArpAgentNet, AdapterThatCannotBeOpenedIsRetriedAndStopStaysQuick) {
    std::strcpy(m_adapterName, "vtnone0");
    {
        std::lock_guard lock(g_traceMutex);
        g_trace.clear();
    }
    platform::SetTraceSink(&CollectTrace);
    testing::internal::CaptureStderr();
    auto attempts = [] {
        std::lock_guard lock(g_traceMutex);
        int n = 0;
        for (const auto& l : g_trace)
            if (l == "\nUnable to open the adapter. vtnone0 is not supported by WinPcap\n") ++n;
        return n;
    };
    const auto launched = Clock::now();
    LaunchAgent();
    for (int i = 0; i < 500 && attempts() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const long threeAttemptsMs = Ms(Clock::now() - launched);
    EXPECT_GE(attempts(), 3);         // tried again...
    EXPECT_GE(threeAttemptsMs, 800);  // ...about twice a second, not in a busy loop
    auto start = Clock::now();
    m_agent->RequestStop();
    m_agent->Join();
    EXPECT_LT(Ms(Clock::now() - start), 250);
    EXPECT_EQ(m_agent->WaitForCapture(), nullptr);  // ended: nothing to wait for
    std::string errors = testing::internal::GetCapturedStderr();
    const std::string line = "\nUnable to open the adapter vtnone0: ";
    ASSERT_NE(errors.find(line), std::string::npos) << errors;
    EXPECT_EQ(errors.find(line, errors.find(line) + 1), std::string::npos) << errors;
    std::uint8_t frame[42] = {};
    EXPECT_FALSE(m_agent->SendFrame(frame, sizeof frame));
}

}  // namespace
