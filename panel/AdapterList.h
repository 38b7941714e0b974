// The capture adapters that the operator chooses from: the interfaces with an IPv4 address, each
// bound to its pcap_if_t record, kept in case-insensitive alphabetical order of their labels
// "description (name)", with the current selection. Owns no widget: the dialog shows the labels
// in this order and mirrors the selection with Select(). Owned by the dialog and used on the UI
// thread only; the workers keep record pointers, which stay valid until this object is destroyed.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "platform/Pcap.h"

class CAdapterList {
  public:
    // The list holds at most this many items; interfaces beyond the 100th listed one (in the
    // library's order) are left out, as a full list control refuses further items.
    static constexpr int kSlotCount = 100;

    CAdapterList() = default;
    ~CAdapterList();  // frees the records of pcap_findalldevs
    CAdapterList(const CAdapterList&) = delete;
    CAdapterList& operator=(const CAdapterList&) = delete;

    // Lists the interfaces of one pcap_findalldevs call; on failure the list stays empty. Fills
    // once: a later call of either form does nothing, so records handed out stay valid.
    void FillAdapterList();
    // The same from a list the caller owns and keeps alive as long as this object.
    void FillAdapterList(pcap_if_t* interfaces);

    // Selects the first item whose label begins with `label` (case ignored), searching from
    // position 1 to the end and trying position 0 last. An empty label or no match leaves the
    // selection unchanged. Returns the selected position or -1 when nothing matched.
    int SelectSavedAdapter(const std::string& label);

    // The record of the selected item, or nullptr when nothing is selected.
    pcap_if_t* SelectedAdapter() const;

    int Count() const { return static_cast<int>(m_labels.size()); }
    // Label / record at `position`; "" / nullptr outside 0..Count()-1.
    const std::string& Label(int position) const;
    pcap_if_t* Record(int position) const;
    // Selected position, -1 for none.
    int Selection() const { return m_selection; }
    // Selects `position`; a position outside the list clears the selection.
    void Select(int position);

  private:
    // Inserts in sorted position; returns it, or -1 when the list is full.
    int AddItem(std::string label, pcap_if_t* record);

    pcap_if_t* m_ownedRecords = nullptr;  // from pcap_findalldevs; freed by the destructor
    bool m_filled = false;
    std::vector<std::string> m_labels;  // in shown order
    // m_adapters[p] is the record of the item at position p (p < Count()).
    std::array<pcap_if_t*, kSlotCount> m_adapters{};
    int m_selection = -1;
};
