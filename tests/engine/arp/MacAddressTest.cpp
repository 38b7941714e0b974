// The virtual MAC text, read once and checked: which texts pass, that a text that passes reads
// exactly as "%X:%X:%X:%X:%X:%X" reads it, and the text the capture filter is made from.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include "engine/arp/MacAddress.h"

namespace {

using Problem = CMacAddress::Problem;

TEST(MacAddress, ValidTextsReadAsScanfReadsThemAndGiveOneFilterText) {
    for (const char* text :
         {"00:D0:BE:D0:BE:D0", "00:d0:be:d0:be:d0", "2:0:0:a:0:1", "02:00:00:0A:00:01",
          " \t00:D0:BE:D0:BE:D0 ", "fe:ff:ff:ff:ff:ff", "00:00:00:00:00:01"}) {
        SCOPED_TRACE(text);
        CMacAddress mac;
        ASSERT_EQ(mac.Parse(text), Problem::kNone);
        unsigned fields[6] = {};
        ASSERT_EQ(std::sscanf(text, "%X:%X:%X:%X:%X:%X", &fields[0], &fields[1], &fields[2],
                              &fields[3], &fields[4], &fields[5]),
                  6);
        for (int i = 0; i < 6; ++i) EXPECT_EQ(mac.Bytes()[i], fields[i] & 0xFF) << i;
        char expected[CMacAddress::kTextSize];
        std::snprintf(expected, sizeof expected, "%02x:%02x:%02x:%02x:%02x:%02x", fields[0],
                      fields[1], fields[2], fields[3], fields[4], fields[5]);
        EXPECT_STREQ(mac.Text(), expected);
    }
    CMacAddress mac;
    ASSERT_EQ(mac.Parse("2:0:0:A:0:1"), Problem::kNone);
    EXPECT_STREQ(mac.Text(), "02:00:00:0a:00:01");
}

TEST(MacAddress, MalformedGroupAndZeroAddressesAreRefusedAndLeaveZero) {
    const std::pair<const char*, Problem> refused[] = {
        {nullptr, Problem::kNotSixFields},
        {"", Problem::kNotSixFields},
        {"00:D0:BE:D0:BE", Problem::kNotSixFields},
        {"00:D0:BE:D0:BE:D0:11", Problem::kNotSixFields},
        {"00:D0:BE:D0:BE:1D0", Problem::kNotSixFields},  // scanf would keep D0
        {"00:D0:BE:D0:BE:123456789ABCDEF0123", Problem::kNotSixFields},
        {"00-D0-BE-D0-BE-D0", Problem::kNotSixFields},
        {"00:D0:zz:D0:BE:D0", Problem::kNotSixFields},
        {"00::BE:D0:BE:D0", Problem::kNotSixFields},
        {"00:D0:BE:D0:BE:D0x", Problem::kNotSixFields},
        {"0x0:D0:BE:D0:BE:D0", Problem::kNotSixFields},
        {"00: D0:BE:D0:BE:D0", Problem::kNotSixFields},
        {"+0:D0:BE:D0:BE:D0", Problem::kNotSixFields},
        {"00:D0:BE:D0:BE:D0 and ip", Problem::kNotSixFields},  // never reaches a filter
        {"01:00:5E:00:00:01", Problem::kGroup},
        {"FF:FF:FF:FF:FF:FF", Problem::kGroup},
        {"33:33:00:00:00:01", Problem::kGroup},
        {"00:00:00:00:00:00", Problem::kAllZero},
        {"0:0:0:0:0:0", Problem::kAllZero},
    };
    for (const auto& [text, problem] : refused) {
        SCOPED_TRACE(text != nullptr ? text : "(null)");
        CMacAddress mac;
        ASSERT_EQ(mac.Parse("02:00:00:00:00:01"), Problem::kNone);
        EXPECT_EQ(mac.Parse(text), problem);
        EXPECT_EQ((std::array<std::uint8_t, 6>{mac.Bytes()[0], mac.Bytes()[1], mac.Bytes()[2],
                                               mac.Bytes()[3], mac.Bytes()[4], mac.Bytes()[5]}),
                  (std::array<std::uint8_t, 6>{}));
        EXPECT_STREQ(mac.Text(), "00:00:00:00:00:00");
        EXPECT_NE(std::string(CMacAddress::Describe(problem)), "");
    }
}

}  // namespace
