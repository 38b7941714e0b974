// The adapter list on interface lists built here: which interfaces are listed, in what order,
// which record each item gives, and how a saved label is selected.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

#include "panel/AdapterList.h"
#include "platform/Trace.h"

namespace {

// A family that stands for an address entry without an address (addr null), as the library
// may report for some interfaces.
constexpr int kNoAddress = -1;

// A pcap_findalldevs-shaped list whose storage lives as long as the builder.
class CInterfaceList {
  public:
    pcap_if_t* Add(const char* name, const char* description, std::initializer_list<int> families) {
        pcap_if_t& record = m_records.emplace_back();
        record.name = m_strings.emplace_back(name).data();
        record.description =
            description != nullptr ? m_strings.emplace_back(description).data() : nullptr;
        pcap_addr_t** tail = &record.addresses;
        for (int family : families) {
            sockaddr_storage& address = m_addresses.emplace_back();
            address.ss_family = static_cast<sa_family_t>(family);
            pcap_addr_t& entry = m_entries.emplace_back();
            entry.addr = family == kNoAddress ? nullptr : reinterpret_cast<sockaddr*>(&address);
            *tail = &entry;
            tail = &entry.next;
        }
        if (m_records.size() > 1) m_records[m_records.size() - 2].next = &record;
        return &record;
    }
    pcap_if_t* Head() { return m_records.empty() ? nullptr : &m_records.front(); }

  private:
    std::deque<pcap_if_t> m_records;
    std::deque<pcap_addr_t> m_entries;
    std::deque<sockaddr_storage> m_addresses;
    std::deque<std::string> m_strings;
};

std::vector<std::string> g_trace;
void Collect(const char* line) {
    g_trace.emplace_back(line);
}

TEST(AdapterList, ItemsAreSortedWithoutRegardToCaseAndEachKeepsItsOwnRecord) {
    CInterfaceList interfaces;
    pcap_if_t* b = interfaces.Add("b", "beta", {AF_INET});
    pcap_if_t* a = interfaces.Add("a", "Alpha", {AF_INET});
    pcap_if_t* g = interfaces.Add("g", "Gamma", {AF_INET});
    pcap_if_t* d = interfaces.Add("d", "delta", {AF_INET});
    CAdapterList list;
    list.FillAdapterList(interfaces.Head());
    ASSERT_EQ(list.Count(), 4);
    const char* labels[] = {"Alpha (a)", "beta (b)", "delta (d)", "Gamma (g)"};
    pcap_if_t* records[] = {a, b, d, g};
    for (int p = 0; p < 4; ++p) {
        EXPECT_EQ(list.Label(p), labels[p]);
        EXPECT_EQ(list.Record(p), records[p]);
        list.Select(p);
        EXPECT_EQ(list.SelectedAdapter(), records[p]);
    }
    list.Select(4);
    EXPECT_EQ(list.Selection(), -1);
    EXPECT_EQ(list.SelectedAdapter(), nullptr);
    EXPECT_EQ(list.Record(4), nullptr);
}

TEST(AdapterList, OnlyInterfacesWithIpv4AreListedOnceWithTheirTraceLines) {
    CInterfaceList interfaces;
    interfaces.Add("v6only", "Six", {AF_PACKET, AF_INET6});
    pcap_if_t* two =
        interfaces.Add("eth0", nullptr, {AF_PACKET, kNoAddress, AF_INET, AF_INET6, AF_INET});
    interfaces.Add("none", nullptr, {kNoAddress});
    g_trace.clear();
    platform::SetTraceSink(&Collect);
    CAdapterList list;
    list.FillAdapterList(interfaces.Head());
    platform::SetTraceSink(nullptr);
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Label(0), "No Description (eth0)");
    EXPECT_EQ(list.Record(0), two);
    EXPECT_EQ(list.Selection(), -1);
    EXPECT_EQ(g_trace, (std::vector<std::string>{
                           "1. v6only", " (Six)\n", "2. eth0", " (No description available)\n",
                           "No Description (eth0)\n", "3. none", " (No description available)\n"}));
}

class SavedAdapter : public ::testing::Test {
  protected:
    void SetUp() override {
        m_interfaces.Add("z", "Other", {AF_INET});
        m_interfaces.Add("x", "Alpha", {AF_INET});
        m_interfaces.Add("y", "Alphabet", {AF_INET});
        m_list.FillAdapterList(m_interfaces.Head());
        ASSERT_EQ(m_list.Label(0), "Alpha (x)");
        ASSERT_EQ(m_list.Label(1), "Alphabet (y)");
        ASSERT_EQ(m_list.Label(2), "Other (z)");
    }
    CInterfaceList m_interfaces;
    CAdapterList m_list;
};

TEST_F(SavedAdapter, SearchStartsAtPositionOneAndTriesPositionZeroLast) {
    // "Alpha" begins the labels at 0 and 1: the search from position 1 finds 1 first.
    EXPECT_EQ(m_list.SelectSavedAdapter("Alpha"), 1);
    EXPECT_EQ(m_list.SelectedAdapter()->name, std::string("y"));
    // Only position 0 matches: found when the search wraps.
    EXPECT_EQ(m_list.SelectSavedAdapter("Alpha (x)"), 0);
    EXPECT_EQ(m_list.SelectedAdapter()->name, std::string("x"));
    // A full stored label in other letter case.
    EXPECT_EQ(m_list.SelectSavedAdapter("OTHER (Z)"), 2);
    EXPECT_EQ(m_list.SelectedAdapter()->name, std::string("z"));
}

TEST_F(SavedAdapter, EmptyOrUnmatchedLabelLeavesTheSelection) {
    EXPECT_EQ(m_list.SelectSavedAdapter(""), -1);
    EXPECT_EQ(m_list.SelectedAdapter(), nullptr);
    EXPECT_EQ(m_list.SelectSavedAdapter("No Description (eth0)"), -1);
    EXPECT_EQ(m_list.SelectedAdapter(), nullptr);
    m_list.Select(2);
    EXPECT_EQ(m_list.SelectSavedAdapter(""), -1);
    EXPECT_EQ(m_list.SelectSavedAdapter("Alphabet (y) and more"), -1);
    EXPECT_EQ(m_list.Selection(), 2);
}

TEST(AdapterList, ListsTheFirstHundredInterfacesInTheLibrarysOrder) {
    CInterfaceList interfaces;
    for (int i = 149; i >= 0; --i) {  // reported last name first
        char name[16];
        std::snprintf(name, sizeof name, "if%03d", i);
        interfaces.Add(name, nullptr, {AF_INET});
    }
    CAdapterList list;
    list.FillAdapterList(interfaces.Head());
    ASSERT_EQ(list.Count(), CAdapterList::kSlotCount);
    for (int p = 0; p < list.Count(); ++p) {
        char label[40];
        std::snprintf(label, sizeof label, "No Description (if%03d)", 50 + p);
        EXPECT_EQ(list.Label(p), label);
        EXPECT_EQ(list.Label(p), std::string("No Description (") + list.Record(p)->name + ")");
    }
    // Filling the last slot disturbed nothing beside it: still no selection, and a saved label
    // selects its item.
    EXPECT_EQ(list.Selection(), -1);
    EXPECT_EQ(list.SelectedAdapter(), nullptr);
    EXPECT_EQ(list.SelectSavedAdapter("No Description (if149)"), 99);
    EXPECT_EQ(list.SelectedAdapter()->name, std::string("if149"));
}

TEST(AdapterList, EmptyListSelectsNothingAndFillsOnlyOnce) {
    CAdapterList list;
    list.FillAdapterList(nullptr);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.SelectSavedAdapter("anything"), -1);
    EXPECT_EQ(list.SelectedAdapter(), nullptr);
    CInterfaceList interfaces;
    interfaces.Add("eth0", nullptr, {AF_INET});
    list.FillAdapterList(interfaces.Head());
    EXPECT_EQ(list.Count(), 0);
}

}  // namespace
