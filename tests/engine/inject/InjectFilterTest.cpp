// The injector's check of packets from the tunnel, at its boundaries: header fields, lengths, and
// the addresses of both subnets, including the small subnets that have no broadcast address.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/inject/InjectFilter.h"

namespace {

using V = CInjectFilter::Verdict;

std::uint32_t Host(const char* dotted) {
    return ntohl(inet_addr(dotted));
}

// A 20-byte IPv4 header (total length `length`) followed by payload up to `length` bytes.
std::vector<std::uint8_t> Packet(const char* source, const char* destination, int length = 60) {
    std::vector<std::uint8_t> packet(static_cast<std::size_t>(length), 0x77);
    if (length < 20) return packet;
    const std::uint8_t header[12] = {0x45,
                                     0,
                                     static_cast<std::uint8_t>(length >> 8),
                                     static_cast<std::uint8_t>(length),
                                     0,
                                     0,
                                     0x40,
                                     0,
                                     64,
                                     17,
                                     0,
                                     0};
    std::memcpy(packet.data(), header, sizeof header);
    const std::uint32_t s = inet_addr(source), d = inet_addr(destination);
    std::memcpy(packet.data() + 12, &s, 4);
    std::memcpy(packet.data() + 16, &d, 4);
    return packet;
}

class InjectFilterTest : public ::testing::Test {
  protected:
    // This end 10.2.0.0/24 with virtual router 10.2.0.1; the other end 10.1.0.0/16.
    void SetUp() override {
        m_filter.Configure(Host("10.2.0.77"), Host("255.255.255.0"), Host("10.1.3.4"),
                           Host("255.255.0.0"), Host("10.2.0.1"));
    }
    V Check(const std::vector<std::uint8_t>& packet) const {
        return m_filter.Check(packet.data(), static_cast<int>(packet.size()));
    }
    CInjectFilter m_filter;
};

TEST_F(InjectFilterTest, HeaderFieldsAndLengthsAtTheirLimits) {
    EXPECT_EQ(Check(Packet("10.1.0.10", "10.2.0.10")), V::kPass);
    EXPECT_EQ(Check(Packet("10.1.0.10", "10.2.0.10", 20)), V::kPass);  // header only
    EXPECT_EQ(Check(Packet("10.1.0.10", "10.2.0.10", 19)), V::kTooShort);
    EXPECT_EQ(m_filter.Check(nullptr, 0), V::kTooShort);

    auto packet = Packet("10.1.0.10", "10.2.0.10");
    packet[0] = 0x65;  // version 6
    EXPECT_EQ(Check(packet), V::kNotIpv4);
    packet[0] = 0x44;  // 16-byte header
    EXPECT_EQ(Check(packet), V::kBadHeaderLength);
    packet[0] = 0x4F;  // 60-byte header inside a 60-byte packet
    EXPECT_EQ(Check(packet), V::kPass);
    packet[3] = 59;  // total length below the header length
    EXPECT_EQ(Check(packet), V::kBadTotalLength);

    // Total length: at most what arrived; less is Ethernet padding and passes.
    packet = Packet("10.1.0.10", "10.2.0.10", 46);
    packet[3] = 46;
    EXPECT_EQ(Check(packet), V::kPass);
    packet[3] = 47;
    EXPECT_EQ(Check(packet), V::kBadTotalLength);
    packet[3] = 28;
    EXPECT_EQ(Check(packet), V::kPass);
    packet[3] = 19;
    EXPECT_EQ(Check(packet), V::kBadTotalLength);
    packet[2] = 0xFF;  // 65299: far beyond
    EXPECT_EQ(Check(packet), V::kBadTotalLength);
}

TEST_F(InjectFilterTest, DestinationMustBeAHostOfThisSubnetAndSourceOfTheOther) {
    EXPECT_EQ(Check(Packet("10.1.0.10", "10.2.0.2")), V::kPass);
    EXPECT_EQ(Check(Packet("10.1.255.255", "10.2.0.254")), V::kPass);
    EXPECT_EQ(Check(Packet("10.1.0.10", "10.2.0.0")), V::kDestinationNetwork);
    EXPECT_EQ(Check(Packet("10.1.0.10", "10.2.0.255")), V::kDestinationBroadcast);
    EXPECT_EQ(Check(Packet("10.1.0.10", "10.2.0.1")), V::kDestinationVirtual);
    EXPECT_EQ(Check(Packet("10.1.0.10", "0.0.0.0")), V::kDestinationOutside);
    EXPECT_EQ(Check(Packet("10.1.0.10", "255.255.255.255")), V::kDestinationOutside);
    EXPECT_EQ(Check(Packet("10.1.0.10", "224.0.0.1")), V::kDestinationOutside);
    EXPECT_EQ(Check(Packet("10.1.0.10", "10.2.1.2")), V::kDestinationOutside);
    EXPECT_EQ(Check(Packet("10.1.0.10", "10.1.0.20")), V::kDestinationOutside);
    // A source of this LAN (or anywhere but the other subnet) cannot come through the tunnel.
    EXPECT_EQ(Check(Packet("10.2.0.5", "10.2.0.10")), V::kSourceOutside);
    EXPECT_EQ(Check(Packet("10.0.255.255", "10.2.0.10")), V::kSourceOutside);
    EXPECT_EQ(Check(Packet("0.0.0.0", "10.2.0.10")), V::kSourceOutside);
    EXPECT_EQ(Check(Packet("10.1.0.0", "10.2.0.10")), V::kPass);
}

TEST_F(InjectFilterTest, SubnetsOfOneOrTwoAddressesHaveNoNetworkOrBroadcastAddress) {
    m_filter.Configure(Host("10.2.0.6"), Host("255.255.255.254"), Host("10.1.0.0"),
                       Host("255.255.255.0"), Host("10.2.0.9"));
    EXPECT_EQ(Check(Packet("10.1.0.10", "10.2.0.6")), V::kPass);
    EXPECT_EQ(Check(Packet("10.1.0.10", "10.2.0.7")), V::kPass);
    EXPECT_EQ(Check(Packet("10.1.0.10", "10.2.0.8")), V::kDestinationOutside);
    m_filter.Configure(Host("10.2.0.6"), Host("255.255.255.255"), Host("10.1.0.0"),
                       Host("255.255.255.0"), Host("10.2.0.9"));
    EXPECT_EQ(Check(Packet("10.1.0.10", "10.2.0.6")), V::kPass);
    EXPECT_EQ(Check(Packet("10.1.0.10", "10.2.0.7")), V::kDestinationOutside);
    // A /30 has both again.
    m_filter.Configure(Host("10.2.0.4"), Host("255.255.255.252"), Host("10.1.0.0"),
                       Host("255.255.255.0"), Host("10.2.0.5"));
    EXPECT_EQ(Check(Packet("10.1.0.10", "10.2.0.4")), V::kDestinationNetwork);
    EXPECT_EQ(Check(Packet("10.1.0.10", "10.2.0.5")), V::kDestinationVirtual);
    EXPECT_EQ(Check(Packet("10.1.0.10", "10.2.0.6")), V::kPass);
    EXPECT_EQ(Check(Packet("10.1.0.10", "10.2.0.7")), V::kDestinationBroadcast);

    // Unconfigured: only the all-zero and all-ones destinations are refused.
    CInjectFilter open;
    auto packet = Packet("1.2.3.4", "5.6.7.8");
    EXPECT_EQ(open.Check(packet.data(), 60), V::kPass);
    packet = Packet("1.2.3.4", "0.0.0.0");
    EXPECT_EQ(open.Check(packet.data(), 60), V::kDestinationNetwork);
    packet = Packet("1.2.3.4", "255.255.255.255");
    EXPECT_EQ(open.Check(packet.data(), 60), V::kDestinationBroadcast);
}

}  // namespace
