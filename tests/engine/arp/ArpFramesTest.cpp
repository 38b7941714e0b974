// The ARP agent's rules without a network: templates, MAC text, answer and learning rules, the
// cyclic cache, and the agent's behaviour when no capture was ever opened.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "engine/arp/ArpAgent.h"
#include "engine/arp/ArpFrames.h"
#include "engine/arp/MacAddress.h"
#include "platform/PcapCompat.h"
#include "platform/Thread.h"

namespace {

using Frame = std::array<std::uint8_t, 42>;

const std::uint32_t kVirtual = inet_addr("10.77.0.100");  // network order

Frame Request() {
    Frame request;
    CArpFrames::BuildRequestTemplate(request.data());
    return request;
}

// A frame as a host on the LAN would send it.
Frame Arp(std::uint8_t opcode, const std::array<std::uint8_t, 6>& source, const char* sender,
          const char* target) {
    Frame frame{};
    std::memset(frame.data(), 0xFF, 6);
    std::memcpy(frame.data() + 6, source.data(), 6);
    const std::uint8_t header[10] = {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, opcode};
    std::memcpy(frame.data() + 12, header, sizeof header);
    std::memcpy(frame.data() + 22, source.data(), 6);
    std::uint32_t s = inet_addr(sender), t = inet_addr(target);
    std::memcpy(frame.data() + 28, &s, 4);
    std::memcpy(frame.data() + 38, &t, 4);
    return frame;
}

std::array<std::uint8_t, 6> Mac(const char* text) {
    CMacAddress parsed;
    EXPECT_EQ(parsed.Parse(text), CMacAddress::Problem::kNone) << text;
    std::array<std::uint8_t, 6> mac;
    std::memcpy(mac.data(), parsed.Bytes(), 6);
    return mac;
}

TEST(ArpFrames, TemplatesAreGoldenFrames) {
    Frame request = Request(), reply;
    CArpFrames::BuildReplyTemplate(request.data(), reply.data());
    const Frame emptyRequest = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0,    0,    0,
                                0,    0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
    EXPECT_EQ(request, emptyRequest);

    auto mac = Mac("02:56:54:00:00:64");
    CArpFrames::SetVirtualRouter(request.data(), reply.data(), kVirtual, mac.data());
    CArpFrames::SetRequestTarget(request.data(), inet_addr("10.77.0.2"));
    const Frame goldenRequest = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x56, 0x54, 0x00, 0x00,
                                 0x64, 0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01,
                                 0x02, 0x56, 0x54, 0x00, 0x00, 0x64, 0x0A, 0x4D, 0x00, 0x64, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x4D, 0x00, 0x02};
    EXPECT_EQ(request, goldenRequest);

    Frame asked = Arp(1, {0x5E, 0x11, 0x22, 0x33, 0x44, 0x55}, "10.77.0.2", "10.77.0.100");
    asked[0] = 0x02;  // unicast requests are answered too
    ASSERT_TRUE(CArpFrames::ShouldAnswer(asked.data(), 42, reply.data(), true));
    CArpFrames::FillReply(reply.data(), asked.data());
    const Frame goldenReply = {0x5E, 0x11, 0x22, 0x33, 0x44, 0x55, 0x02, 0x56, 0x54, 0x00, 0x00,
                               0x64, 0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x02,
                               0x02, 0x56, 0x54, 0x00, 0x00, 0x64, 0x0A, 0x4D, 0x00, 0x64, 0x5E,
                               0x11, 0x22, 0x33, 0x44, 0x55, 0x0A, 0x4D, 0x00, 0x02};
    EXPECT_EQ(reply, goldenReply);
}

TEST(ArpFrames, AnswerRuleNeedsRequestForVirtualAddressWithRespondOn) {
    Frame request = Request(), reply;
    CArpFrames::BuildReplyTemplate(request.data(), reply.data());
    CArpFrames::SetVirtualRouter(request.data(), reply.data(), kVirtual, Mac("2:0:0:0:0:1").data());
    std::array<std::uint8_t, 6> host{0x5E, 1, 2, 3, 4, 5};

    Frame asked = Arp(1, host, "10.77.0.2", "10.77.0.100");
    EXPECT_TRUE(CArpFrames::ShouldAnswer(asked.data(), 42, reply.data(), true));
    EXPECT_FALSE(CArpFrames::ShouldAnswer(asked.data(), 42, reply.data(), false));
    EXPECT_FALSE(CArpFrames::ShouldAnswer(asked.data(), 41, reply.data(), true));
    Frame other = Arp(1, host, "10.77.0.2", "10.77.0.101");
    EXPECT_FALSE(CArpFrames::ShouldAnswer(other.data(), 42, reply.data(), true));
    Frame answer = Arp(2, host, "10.77.0.2", "10.77.0.100");
    EXPECT_FALSE(CArpFrames::ShouldAnswer(answer.data(), 42, reply.data(), true));
    Frame ipv6 = asked;
    ipv6[16] = 0x86;  // protocol type is part of bytes 14 to 21
    EXPECT_FALSE(CArpFrames::ShouldAnswer(ipv6.data(), 42, reply.data(), true));
    Frame wrongType = asked;
    wrongType[12] = 0x08;
    wrongType[13] = 0x00;  // the EtherType is not examined
    EXPECT_TRUE(CArpFrames::ShouldAnswer(wrongType.data(), 42, reply.data(), true));
}

// Requests and replies both name their sender (a reply is also recognised as such); anything
// else, or a frame cut short, names nobody.
TEST(ArpFrames, SenderOfRequestsAndRepliesOnly) {
    std::array<std::uint8_t, 6> first{0x5E, 0, 0, 0, 0, 1};
    std::uint32_t address = 0;
    std::array<std::uint8_t, 6> mac{};

    Frame request = Arp(1, first, "10.77.0.7", "10.77.0.8");
    EXPECT_FALSE(CArpFrames::IsReply(request.data(), 42));
    ASSERT_TRUE(CArpFrames::SenderOf(request.data(), 42, &address, mac.data()));
    EXPECT_EQ(address, inet_addr("10.77.0.7"));
    EXPECT_EQ(mac, first);
    Frame reply = Arp(2, first, "10.77.0.6", "10.77.0.8");
    reply[0] = 0x5E;  // addressed to another host: its sender counts all the same
    EXPECT_FALSE(CArpFrames::IsReply(reply.data(), 41));
    EXPECT_FALSE(CArpFrames::SenderOf(reply.data(), 41, &address, mac.data()));
    ASSERT_TRUE(CArpFrames::IsReply(reply.data(), 42));
    ASSERT_TRUE(CArpFrames::SenderOf(reply.data(), 42, &address, mac.data()));
    EXPECT_EQ(address, inet_addr("10.77.0.6"));
    for (int opcode : {0, 3, 0x101}) {
        Frame other = Arp(2, first, "10.77.0.5", "10.77.0.8");
        other[20] = static_cast<std::uint8_t>(opcode >> 8);
        other[21] = static_cast<std::uint8_t>(opcode);
        EXPECT_FALSE(CArpFrames::SenderOf(other.data(), 42, &address, mac.data())) << opcode;
    }
    Frame ipv6 = request;
    ipv6[16] = 0x86;
    EXPECT_FALSE(CArpFrames::SenderOf(ipv6.data(), 42, &address, mac.data()));
    EXPECT_EQ(address, inet_addr("10.77.0.6"));  // untouched by the refusals
}

// A frame carries the requester's MAC twice (Ethernet source, ARP sender hardware address), and
// a bridge or proxy may make the two differ: the answer goes to the frame's source, while
// learning takes the ARP field.
TEST(ArpFrames, AnswerGoesToTheEthernetSourceAndLearningTakesTheSenderField) {
    const std::array<std::uint8_t, 6> source{0x5E, 0, 0, 0, 0, 0x0E},
        sender{0x5E, 0, 0, 0, 0, 0x5D};
    Frame request = Request(), reply;
    CArpFrames::BuildReplyTemplate(request.data(), reply.data());
    CArpFrames::SetVirtualRouter(request.data(), reply.data(), kVirtual, Mac("2:0:0:0:0:1").data());
    Frame asked = Arp(1, source, "10.77.0.2", "10.77.0.100");
    std::memcpy(asked.data() + CArpFrames::kSenderMac, sender.data(), 6);
    ASSERT_TRUE(CArpFrames::ShouldAnswer(asked.data(), 42, reply.data(), true));
    CArpFrames::FillReply(reply.data(), asked.data());
    EXPECT_EQ(0, std::memcmp(reply.data() + CArpFrames::kEthernetDestination, source.data(), 6));
    EXPECT_EQ(0, std::memcmp(reply.data() + CArpFrames::kTargetMac, source.data(), 6));

    std::uint32_t learned = 0;
    std::array<std::uint8_t, 6> mac{};
    Frame answer = Arp(2, source, "10.77.0.7", "10.77.0.8");
    std::memcpy(answer.data() + CArpFrames::kSenderMac, sender.data(), 6);
    ASSERT_TRUE(CArpFrames::SenderOf(answer.data(), 42, &learned, mac.data()));
    EXPECT_EQ(mac, sender);
}

TEST(ArpFrames, FilterNetmaskFromFirstIpv4Entry) {
    EXPECT_EQ(platform::FilterNetmask(nullptr), 0xffffffu);
    pcap_if_t adapter{};
    char name[] = "veth0";
    adapter.name = name;
    EXPECT_EQ(platform::FilterNetmask(&adapter), 0xffffffu);

    sockaddr_in mask{};
    mask.sin_family = AF_INET;
    mask.sin_addr.s_addr = inet_addr("255.255.0.0");
    pcap_addr_t entry{};
    adapter.addresses = &entry;
    EXPECT_EQ(platform::FilterNetmask(&adapter), 0xffffffu);  // first entry without netmask
    entry.netmask = reinterpret_cast<sockaddr*>(&mask);
    EXPECT_EQ(platform::FilterNetmask(&adapter), inet_addr("255.255.0.0"));
    mask.sin_family = AF_INET6;
    EXPECT_EQ(platform::FilterNetmask(&adapter), 0xffffffu);
}

// An agent that never captured: nothing is sent, nothing waits without end.
TEST(ArpAgentOffline, WithoutCaptureNothingIsSentAndNothingBlocks) {
    CArpAgent agent;
    const std::uint8_t* mac = agent.GetVirtualMac();
    EXPECT_EQ(0, std::memcmp(mac, std::array<std::uint8_t, 6>{}.data(), 6));
    agent.SetVirtualRouter(0x0A4D0064, Mac("02:56:54:00:00:64").data());
    EXPECT_EQ(mac, agent.GetVirtualMac());
    EXPECT_EQ(0, std::memcmp(mac, Mac("02:56:54:00:00:64").data(), 6));

    EXPECT_EQ(agent.WaitForCapture(), nullptr);  // never launched
    std::uint8_t frame[60] = {};
    EXPECT_FALSE(agent.SendFrame(frame, sizeof frame));

    EXPECT_FALSE(agent.SendRequest(inet_addr("10.77.0.9"), nullptr));
}

}  // namespace

// An agent whose thread is slow to open its capture (here: never does until stopped) holds a
// waiting caller only until that caller is asked to stop.
namespace {
class CSlowAgent : public CArpAgent {
  public:
    ~CSlowAgent() override = default;
    unsigned Run() override {
        for (int i = 0; i < 400 && IsRunning(); ++i) Sleep(5);
        return 0;
    }
};

class CWaiter : public CWorkerThread {
  public:
    explicit CWaiter(CArpAgent& agent) : m_agent(agent) {}
    ~CWaiter() override = default;
    unsigned Run() override {
        m_result.store(m_agent.WaitForCapture(this) == nullptr ? 1 : 2);
        return 0;
    }
    std::atomic<int> m_result{0};

  private:
    CArpAgent& m_agent;
};
}  // namespace

TEST(ArpAgentOffline, WaitForCaptureEndsWithTheCallersStopRequest) {
    CSlowAgent agent;
    agent.Launch();
    CWaiter waiter(agent);
    waiter.Launch();
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    EXPECT_EQ(waiter.m_result.load(), 0);  // still waiting: the agent runs, no capture yet
    auto start = std::chrono::steady_clock::now();
    waiter.RequestStop();
    waiter.Join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(waiter.m_result.load(), 1);
    agent.RequestStop();
    agent.Join();
}
