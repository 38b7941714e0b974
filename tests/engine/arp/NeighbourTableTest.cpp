// The neighbour table on a clock of its own: resolution without waiting, silent addresses,
// changed MACs, the bounds of the waiting queues, and what is learned (and what is not) from
// which ARP frames, also when the LAN is flooded with them.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "engine/arp/ArpFrames.h"
#include "engine/arp/NeighbourTable.h"

namespace {

using namespace std::chrono_literals;
using Table = CNeighbourTable;
using State = Table::State;
using Action = Table::Action;
using Mac = std::array<std::uint8_t, 6>;

std::uint32_t A(const char* dotted) {  // network order, as in a frame
    return inet_addr(dotted);
}
std::uint32_t Host(const char* dotted) {
    return ntohl(inet_addr(dotted));
}

const Mac kMac1{0x02, 0, 0, 0, 0, 0x01};
const Mac kMac2{0x02, 0, 0, 0, 0, 0x02};

class NeighbourTableTest : public ::testing::Test {
  protected:
    // This end: 10.2.0.0/24, virtual router 10.2.0.1.
    void SetUp() override {
        m_table = std::make_unique<Table>();
        m_table->Configure(Host("10.2.0.0"), Host("255.255.255.0"), Host("10.2.0.1"));
    }

    // A frame whose bytes after the header all hold `tag`, `length` bytes long.
    static std::vector<std::uint8_t> Frame(std::uint8_t tag, int length = 60) {
        std::vector<std::uint8_t> frame(static_cast<std::size_t>(length), tag);
        std::memset(frame.data(), 0xEE, 6);  // destination: written by the table on a flush
        return frame;
    }
    Table::Answer Lookup(const char* address, std::uint8_t tag = 1, int length = 60) {
        std::vector<std::uint8_t> frame = Frame(tag, length);
        return m_table->Lookup(A(address), frame.data(), length, m_now);
    }
    std::vector<Table::Request> Due() {
        Table::Request out[64];
        const int n = m_table->TakeDue(m_now, out, 64);
        std::vector<Table::Request> due;
        for (int i = 0; i < n; ++i) due.push_back(out[i]);
        return due;
    }
    // The tags of the flushed frames, after checking each carries `mac` and its own bytes.
    std::string Flush(const char* address, const Mac& mac) {
        std::string tags;
        for (const Table::Pending& p : m_table->OnArp(A(address), mac.data(), m_now)) {
            EXPECT_EQ(0, std::memcmp(p.frame, mac.data(), 6));
            const std::vector<std::uint8_t> expected = Frame(p.frame[6], p.length);
            EXPECT_EQ(0, std::memcmp(p.frame + 6, expected.data() + 6, p.length - 6u));
            tags += static_cast<char>('0' + p.frame[6]);
        }
        return tags;
    }
    Mac MacOf(const char* address) const {
        Mac mac{};
        EXPECT_TRUE(m_table->MacOf(A(address), mac.data())) << address;
        return mac;
    }

    std::unique_ptr<Table> m_table;
    Table::TimePoint m_now = Table::TimePoint{} + 1000s;
};

TEST_F(NeighbourTableTest, NewNeighbourIsAskedOnceAndItsPacketsLeaveWithTheAnswer) {
    EXPECT_EQ(Lookup("10.2.0.10", 1).action, Action::kQueued);
    EXPECT_EQ(Lookup("10.2.0.10", 2).action, Action::kQueued);
    auto due = Due();
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].address, A("10.2.0.10"));
    EXPECT_FALSE(due[0].unicast);
    EXPECT_TRUE(Due().empty()) << "one request per second at most";
    EXPECT_EQ(m_table->StateOf(A("10.2.0.10")), State::kIncomplete);

    m_now += 50us;
    EXPECT_EQ(Flush("10.2.0.10", kMac1), "12");  // in their order, the MAC written in front
    EXPECT_EQ(MacOf("10.2.0.10"), kMac1);
    const Table::Answer answer = Lookup("10.2.0.10", 3);
    EXPECT_EQ(answer.action, Action::kSend);
    EXPECT_EQ(Mac(std::to_array(answer.mac)), kMac1);
    m_now += 5s;
    EXPECT_TRUE(Due().empty());
    EXPECT_EQ(m_table->GetStats().queued, 2u);
    EXPECT_EQ(m_table->GetStats().flushed, 2u);
}

TEST_F(NeighbourTableTest, SilentAddressIsAskedThreeTimesThenRefusedAtOnceAndAskedOncePerSecond) {
    Lookup("10.2.0.20", 1);
    EXPECT_EQ(Due().size(), 1u);
    m_now += 999ms;
    EXPECT_TRUE(Due().empty());
    m_now += 1ms;
    EXPECT_EQ(Due().size(), 1u);
    m_now += 1s;
    EXPECT_EQ(Due().size(), 1u);
    EXPECT_EQ(Lookup("10.2.0.20", 2).action, Action::kQueued);
    m_now += 1s;  // three requests unanswered: what waited is dropped
    EXPECT_TRUE(Due().empty());
    EXPECT_EQ(m_table->StateOf(A("10.2.0.20")), State::kFailed);
    EXPECT_EQ(m_table->GetStats().expired, 2u);
    EXPECT_EQ(m_table->GetStats().requests, 3u);

    // Polled ten times a second for five seconds: every packet dropped at once, one request a
    // second.
    int requests = 0;
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(Lookup("10.2.0.20").action, Action::kDropped);
        requests += static_cast<int>(Due().size());
        m_now += 100ms;
    }
    EXPECT_EQ(requests, 5);
    // Not polled: not asked.
    m_now += 10s;
    EXPECT_TRUE(Due().empty());
    // It comes back: the next packet goes at once.
    EXPECT_EQ(Flush("10.2.0.20", kMac2), "");
    EXPECT_EQ(Lookup("10.2.0.20").action, Action::kSend);

    // Other addresses are served meanwhile.
    EXPECT_EQ(Lookup("10.2.0.21").action, Action::kQueued);
    EXPECT_EQ(Flush("10.2.0.21", kMac1), "1");
}

TEST_F(NeighbourTableTest, ChangedMacIsTakenAtOnceAndASilentChangeWithinAProbeRound) {
    Lookup("10.2.0.30");
    Due();
    Flush("10.2.0.30", kMac1);
    // A gratuitous announcement (or any request) with another MAC: used from the next packet.
    m_now += 1s;
    EXPECT_EQ(Flush("10.2.0.30", kMac2), "");
    EXPECT_EQ(Mac(std::to_array(Lookup("10.2.0.30").mac)), kMac2);

    // Used 29 s after its confirmation: trusted. At 30 s: still sent, and one unicast probe.
    m_now += 29s;
    EXPECT_EQ(Lookup("10.2.0.30").action, Action::kSend);
    EXPECT_TRUE(Due().empty());
    m_now += 1s;
    EXPECT_EQ(Lookup("10.2.0.30").action, Action::kSend);
    auto due = Due();
    ASSERT_EQ(due.size(), 1u);
    EXPECT_TRUE(due[0].unicast);
    EXPECT_EQ(Mac(std::to_array(due[0].mac)), kMac2);
    EXPECT_EQ(m_table->StateOf(A("10.2.0.30")), State::kProbe);
    m_now += 10ms;
    Flush("10.2.0.30", kMac2);  // answered: trusted for another 30 s
    EXPECT_EQ(m_table->StateOf(A("10.2.0.30")), State::kReachable);
    m_now += 29s;
    Lookup("10.2.0.30");
    EXPECT_TRUE(Due().empty());

    // The card is replaced silently at t0: the old MAC stays in use while three unicast probes go
    // unanswered, then the LAN is asked again and packets wait for the new MAC.
    const auto t0 = m_now;
    int probes = 0, broadcasts = 0;
    while (m_now - t0 < 90s) {
        const Table::Answer answer = Lookup("10.2.0.30", 7);
        for (const Table::Request& r : Due()) (r.unicast ? probes : broadcasts)++;
        if (broadcasts > 0) break;
        EXPECT_EQ(answer.action, Action::kSend);
        m_now += 100ms;
    }
    EXPECT_EQ(probes, 3);
    EXPECT_EQ(broadcasts, 1);
    EXPECT_LE(m_now - t0, 5s);
    EXPECT_EQ(Lookup("10.2.0.30", 8).action, Action::kQueued);
    EXPECT_EQ(Flush("10.2.0.30", kMac1), "8");
    EXPECT_EQ(MacOf("10.2.0.30"), kMac1);
}

TEST_F(NeighbourTableTest, WaitingIsBoundedByCountBytesAndQueues) {
    for (int i = 0; i < Table::kQueuePackets; ++i) {
        EXPECT_EQ(Lookup("10.2.0.40", static_cast<std::uint8_t>(i)).action, Action::kQueued);
    }
    EXPECT_EQ(Lookup("10.2.0.40", 9).action, Action::kDropped);  // by count
    EXPECT_EQ(Flush("10.2.0.40", kMac1), "01234567");

    EXPECT_EQ(Lookup("10.2.0.41", 1, 60000).action, Action::kQueued);
    EXPECT_EQ(Lookup("10.2.0.41", 2, 5541).action, Action::kDropped);  // by bytes
    EXPECT_EQ(Lookup("10.2.0.41", 3, 5540).action, Action::kQueued);   // exactly full
    EXPECT_EQ(Flush("10.2.0.41", kMac1), "13");
    EXPECT_EQ(Lookup("10.2.0.42", 1, Table::kQueueBytes + 1).action, Action::kDropped);
    EXPECT_EQ(Lookup("10.2.0.42", 1, 13).action, Action::kDropped);  // no room for its header

    // Each of 8 addresses holds a queue; a 9th takes the one held longest.
    for (int i = 0; i < Table::kQueues; ++i) {
        const std::string address = "10.2.0." + std::to_string(100 + i);
        EXPECT_EQ(Lookup(address.c_str(), static_cast<std::uint8_t>(i)).action, Action::kQueued);
        m_now += 1ms;
    }
    EXPECT_EQ(Lookup("10.2.0.200", 9).action, Action::kQueued);
    EXPECT_EQ(Flush("10.2.0.100", kMac1), "") << "its queue went to 10.2.0.200";
    EXPECT_EQ(Flush("10.2.0.101", kMac1), "1");
    EXPECT_EQ(Flush("10.2.0.200", kMac2), "9");
    const Table::Stats& stats = m_table->GetStats();
    EXPECT_EQ(stats.overflow, 5u);  // count, bytes, too long, too short, the queue taken over
    EXPECT_EQ(stats.flushed, 12u);
}

TEST_F(NeighbourTableTest, OnlyHostsOfThisSubnetWithIndividualMacsAreLearnedOrAsked) {
    for (const char* address : {"10.3.0.5", "10.2.0.0", "10.2.0.255", "10.2.0.1", "0.0.0.0"}) {
        EXPECT_TRUE(m_table->OnArp(A(address), kMac1.data(), m_now).empty());
        EXPECT_EQ(m_table->StateOf(A(address)), State::kUnknown) << address;
        EXPECT_EQ(Lookup(address).action, Action::kDropped) << address;
    }
    for (const Mac& bad : {Mac{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, Mac{0x01, 0, 0x5E, 0, 0, 1},
                           Mac{0, 0, 0, 0, 0, 0}}) {
        m_table->OnArp(A("10.2.0.9"), bad.data(), m_now);
        EXPECT_EQ(m_table->StateOf(A("10.2.0.9")), State::kUnknown);
    }
    EXPECT_TRUE(Due().empty());
    EXPECT_EQ(m_table->Size(), 0);
    // Unsolicited senders of the subnet are learned and used without a request.
    m_table->OnArp(A("10.2.0.9"), kMac1.data(), m_now);
    EXPECT_EQ(Lookup("10.2.0.9").action, Action::kSend);
    EXPECT_TRUE(Due().empty());
    // A new subnet forgets everything.
    m_table->Configure(Host("10.2.0.0"), Host("255.255.0.0"), Host("10.2.0.1"));
    EXPECT_EQ(m_table->Size(), 0);
}

// Requests and replies for IPv4 over Ethernet both name their sender; nothing else does.
TEST_F(NeighbourTableTest, SendersOfRequestsAndRepliesTeachTheTable) {
    std::uint8_t frame[42] = {};
    const std::uint8_t header[8] = {0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
    std::memcpy(frame + 14, header, sizeof header);
    std::memcpy(frame + 22, kMac2.data(), 6);
    const std::uint32_t sender = A("10.2.0.60");
    std::memcpy(frame + 28, &sender, 4);
    std::uint32_t address = 0;
    Mac mac{};
    for (std::uint8_t opcode : {1, 2}) {
        frame[21] = opcode;
        ASSERT_TRUE(CArpFrames::SenderOf(frame, 42, &address, mac.data())) << int(opcode);
        EXPECT_EQ(address, sender);
        EXPECT_EQ(mac, kMac2);
    }
    EXPECT_FALSE(CArpFrames::SenderOf(frame, 41, &address, mac.data()));
    for (int at : {15, 16, 18, 19, 20, 21}) {
        std::uint8_t other[42];
        std::memcpy(other, frame, 42);
        other[at] = at == 21 ? 3 : other[at] ^ 0x10;
        EXPECT_FALSE(CArpFrames::SenderOf(other, 42, &address, mac.data())) << at;
    }
    ASSERT_TRUE(CArpFrames::SenderOf(frame, 42, &address, mac.data()));
    EXPECT_TRUE(m_table->OnArp(address, mac.data(), m_now).empty());
    EXPECT_EQ(MacOf("10.2.0.60"), kMac2);
}

TEST_F(NeighbourTableTest, AFloodOfRepliesNeverPushesOutNeighboursInUse) {
    m_table->Configure(Host("10.2.0.0"), Host("255.255.0.0"), Host("10.2.0.1"));
    auto address = [](int i) { return htonl(Host("10.2.0.0") + 2 + static_cast<unsigned>(i)); };
    const std::uint8_t frame[60] = {};
    // 100 neighbours in use.
    for (int i = 0; i < 100; ++i) {
        m_table->OnArp(address(i), kMac1.data(), m_now);
        ASSERT_EQ(m_table->Lookup(address(i), frame, 60, m_now).action, Action::kSend);
    }
    // 5000 senders that nobody talks to.
    for (int i = 100; i < 5100; ++i) m_table->OnArp(address(i), kMac2.data(), m_now);
    EXPECT_EQ(m_table->Size(), Table::kCapacity);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(m_table->StateOf(address(i)), State::kReachable) << i;
    }
    EXPECT_EQ(m_table->StateOf(address(5099)), State::kReachable) << "the newest learned";

    // A table full of neighbours in use: unsolicited senders are not learned, while an address a
    // packet needs replaces the least recently used one.
    for (int i = 100; i < Table::kCapacity; ++i) {
        m_now += 1ms;
        m_table->OnArp(address(i), kMac1.data(), m_now);
        m_table->Lookup(address(i), frame, 60, m_now);
    }
    const std::uint32_t ignored = m_table->GetStats().ignored;
    m_table->OnArp(address(6000), kMac2.data(), m_now);
    EXPECT_EQ(m_table->StateOf(address(6000)), State::kUnknown);
    EXPECT_EQ(m_table->GetStats().ignored, ignored + 1);
    m_now += 1ms;
    EXPECT_EQ(m_table->Lookup(address(6001), frame, 60, m_now).action, Action::kQueued);
    EXPECT_EQ(m_table->StateOf(address(0)), State::kUnknown) << "least recently used";
    EXPECT_EQ(m_table->StateOf(address(1)), State::kReachable);
}

TEST_F(NeighbourTableTest, DueRequestsBeyondTheCallersRoomStayDue) {
    for (int i = 0; i < 5; ++i) Lookup(("10.2.0." + std::to_string(50 + i)).c_str());
    Table::Request out[2];
    EXPECT_EQ(m_table->TakeDue(m_now, out, 2), 2);
    EXPECT_EQ(m_table->TakeDue(m_now, out, 2), 2);
    EXPECT_EQ(m_table->TakeDue(m_now, out, 2), 1);
    EXPECT_EQ(m_table->TakeDue(m_now, out, 2), 0);
    EXPECT_EQ(m_table->GetStats().requests, 5u);
}

}  // namespace
