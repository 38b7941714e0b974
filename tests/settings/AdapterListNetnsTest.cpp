// The adapter list from the real pcap_findalldevs, inside a namespace of the test's own:
//
//   namespace "adapters":  lo (127.0.0.1, up)
//                          vtlan0 (10.77.0.1/24, up) <-veth-> vtbare (no address)
//
// Only lo and vtlan0 have an IPv4 address, so only they are listed, in the order of their labels.
#include <gtest/gtest.h>

#include <string>

#include "panel/AdapterList.h"
#include "tests/support/NetNamespace.h"

namespace {

TEST(AdapterListNetns, ListsTheInterfacesWithAnIpv4AddressOnly) {
    REQUIRE_NETWORK_PRIVILEGES();
    testsupport::CNetNamespace ns("adapters");
    ASSERT_TRUE(ns.Ok());
    ASSERT_EQ(ns.Run("ip link add vtlan0 type veth peer name vtbare && "
                     "ip addr add 10.77.0.1/24 dev vtlan0 && ip link set vtlan0 up && "
                     "ip link set vtbare up"),
              0);
    testsupport::CNetNamespace::Enter inside(ns);
    ASSERT_TRUE(inside.Ok());

    CAdapterList list;
    list.FillAdapterList();
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Label(0), "No Description (lo)");
    EXPECT_EQ(list.Label(1), "No Description (vtlan0)");
    ASSERT_NE(list.Record(1), nullptr);
    EXPECT_STREQ(list.Record(0)->name, "lo");
    EXPECT_STREQ(list.Record(1)->name, "vtlan0");
    EXPECT_EQ(list.SelectSavedAdapter("no description (VTLAN"), 1);
    EXPECT_EQ(list.SelectedAdapter(), list.Record(1));
}

}  // namespace
