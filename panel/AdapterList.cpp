#include "panel/AdapterList.h"

#include <sys/socket.h>

#include <cstdio>

#include "platform/Trace.h"

namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Case-insensitive (ASCII) order of labels.
bool SortsBefore(const std::string& a, const std::string& b) {
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        char x = Lower(a[i]);
        char y = Lower(b[i]);
        if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    }
    return a.size() < b.size();
}

bool BeginsWith(const std::string& label, const std::string& prefix) {
    if (prefix.size() > label.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (Lower(label[i]) != Lower(prefix[i])) return false;
    }
    return true;
}

bool HasIpv4Address(const pcap_if_t* record) {
    for (const pcap_addr_t* a = record->addresses; a != nullptr; a = a->next) {
        if (a->addr != nullptr && a->addr->sa_family == AF_INET) return true;
    }
    return false;
}

const std::string kNoLabel;

}  // namespace

CAdapterList::~CAdapterList() {
    if (m_ownedRecords != nullptr) pcap_freealldevs(m_ownedRecords);
}

void CAdapterList::FillAdapterList() {
    if (m_filled) return;
    char errorText[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* records = nullptr;
    if (pcap_findalldevs(&records, errorText) == -1) {
        Trace("Error in pcap_findalldevs_ex: %s\n", errorText);
        m_filled = true;
        return;
    }
    m_ownedRecords = records;
    FillAdapterList(records);
}

void CAdapterList::FillAdapterList(pcap_if_t* interfaces) {
    if (m_filled) return;
    m_filled = true;
    int count = 0;
    for (pcap_if_t* d = interfaces; d != nullptr; d = d->next) {
        Trace("%d. %s", ++count, d->name);
        if (d->description != nullptr) {
            Trace(" (%s)\n", d->description);
        } else {
            Trace(" (No description available)\n");
        }
        if (!HasIpv4Address(d)) continue;
        std::string label =
            std::string(d->description != nullptr ? d->description : "No Description") + " (" +
            d->name + ")";
        Trace("%s\n", label.c_str());
        AddItem(std::move(label), d);
    }
}

int CAdapterList::AddItem(std::string label, pcap_if_t* record) {
    if (Count() >= kSlotCount) return -1;
    // After every item that does not sort after the new one: equal labels keep their order.
    int position = Count();
    for (int p = 0; p < Count(); ++p) {
        if (SortsBefore(label, m_labels[static_cast<std::size_t>(p)])) {
            position = p;
            break;
        }
    }
    m_labels.insert(m_labels.begin() + position, std::move(label));
    // The records at `position` and beyond move one slot on with their items.
    for (int p = Count() - 1; p > position; --p) m_adapters[p] = m_adapters[p - 1];
    m_adapters[position] = record;
    if (m_selection >= position) ++m_selection;
    return position;
}

int CAdapterList::SelectSavedAdapter(const std::string& label) {
    if (label.empty()) return -1;
    const int n = Count();
    for (int i = 1; i <= n; ++i) {
        int p = i % n;  // 1, 2, ..., n-1, then 0
        if (BeginsWith(m_labels[static_cast<std::size_t>(p)], label)) {
            m_selection = p;
            return p;
        }
    }
    return -1;
}

pcap_if_t* CAdapterList::SelectedAdapter() const {
    return Record(m_selection);
}

const std::string& CAdapterList::Label(int position) const {
    if (position < 0 || position >= Count()) return kNoLabel;
    return m_labels[static_cast<std::size_t>(position)];
}

pcap_if_t* CAdapterList::Record(int position) const {
    if (position < 0 || position >= Count()) return nullptr;
    return m_adapters[static_cast<std::size_t>(position)];
}

void CAdapterList::Select(int position) {
    m_selection = (position >= 0 && position < Count()) ? position : -1;
}
