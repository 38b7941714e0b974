// What Start works from: the ten text settings as the dialog's controls hold them and the states
// of "TCP", "Initiate Connection" and "Respond to ARP". The dialog fills one from its controls;
// the daemon fills one from the settings file the way the dialog's initialisation fills the
// controls. Prepare is the one Start: the tunnel key's check, the ten writes, the virtual MAC's
// check, and the engine configuration they give, so that the dialog and the daemon cannot mean
// different things by one settings file. Used on the owner's thread (UI or daemon main thread).
#pragma once

#include <array>
#include <string>

#include "engine/TunnelEngine.h"
#include "panel/SettingsTable.h"
#include "platform/Pcap.h"

namespace panel {

class CStartForm {
  public:
    static constexpr std::size_t kTextCount = std::size(kStartKeys);

    // The window texts, indexed like kStartKeys.
    std::array<std::string, kTextCount> texts;
    bool tcp = false;
    bool initiate = false;
    bool respond = false;

    std::string& Text(Key key);
    const std::string& Text(Key key) const;

    // Reads every key of the settings file in the table's order, each written back (a first run
    // writes them all with their defaults), and holds what the controls would hold after the
    // dialog's initialisation: addresses as the address box shows them, the other texts as an
    // edit box holds them, cut as their window texts are read. The adaptor text is the saved
    // label; the caller puts the selected adapter's label in its place before Prepare.
    static CStartForm ReadAll();

    // Start after an adapter was selected: the tunnel key is checked first (a setting that is not
    // a key refuses before anything is written); the ten texts are written in kStartKeys' order;
    // then the virtual MAC is checked. True with `settings` filled to run; false with the status
    // line's sentence in `refusal` (the details are on standard error).
    bool Prepare(pcap_if_t* adapter, CTunnelEngine::Settings& settings, std::string& refusal) const;
};

}  // namespace panel
