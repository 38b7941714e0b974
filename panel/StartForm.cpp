#include "panel/StartForm.h"

#include <string.h>

#include <cstdio>
#include <cstdlib>

#include "engine/arp/MacAddress.h"
#include "panel/ControlText.h"
#include "panel/Settings.h"

namespace panel {
namespace {

std::size_t Index(Key key) {
    for (std::size_t i = 0; i < CStartForm::kTextCount; ++i) {
        if (kStartKeys[i] == key) return i;
    }
    std::abort();  // not a text of Start: a programming error
}

bool IsAddress(Key key) {
    return key == Key::kThisIp || key == Key::kThisMask || key == Key::kOtherIp ||
           key == Key::kOtherMask || key == Key::kTunnelIp || key == Key::kVirtualIp;
}

// The tunnel key setting: true with `key` set, or unset when there is none; false, with the
// reason on standard error, when the setting is not a usable key.
bool ReadTunnelKey(seal::CTunnelKey& key) {
    std::string text = PeekSetting(kTunnelKey.section, kTunnelKey.name, kTunnelKey.defaultValue);
    if (text.empty()) return true;  // unsealed, as designed
    std::string error;
    const bool parsed = seal::CTunnelKey::Parse(text, key, error);
    explicit_bzero(text.data(), text.size());
    if (!parsed) {
        // The sentence names what is wrong, never the text.
        std::fprintf(stderr, "Vantrell: not started: %s\n", error.c_str());
        return false;
    }
    if (SettingsReadableByOthers()) {
        std::fprintf(stderr,
                     "Vantrell: warning: %s holds the tunnel key and others may read it "
                     "(chmod 600 %s).\n",
                     SettingsFileName, SettingsFileName);
    }
    return true;
}

}  // namespace

std::string& CStartForm::Text(Key key) {
    return texts[Index(key)];
}

const std::string& CStartForm::Text(Key key) const {
    return texts[Index(key)];
}

CStartForm CStartForm::ReadAll() {
    CStartForm form;
    for (int i = 0; i < static_cast<int>(Key::kCount); ++i) {
        const Key key = static_cast<Key>(i);
        const std::string value = Read(key);
        if (IsAddress(key)) {
            // In through the box's window text, out as its four numbers.
            form.Text(key) = AddressText(AddressValue(ShownAddress(value)));
        } else if (key == Key::kTcp || key == Key::kTcpInitiate || key == Key::kRespond) {
            (key == Key::kTcp           ? form.tcp
             : key == Key::kTcpInitiate ? form.initiate
                                        : form.respond) = IsYes(value);
        } else if (key != Key::kAutostart && key != Key::kHide) {
            form.Text(key) = CutText(EditText(value));
        }
    }
    return form;
}

bool CStartForm::Prepare(pcap_if_t* adapter, CTunnelEngine::Settings& settings,
                         std::string& refusal) const {
    // A key that does not parse refuses Start: never run unsealed by mistake.
    seal::CTunnelKey key;
    if (!ReadTunnelKey(key)) {
        refusal = "Not started: the [Tunnel] Key setting is not a key";
        return false;
    }
    for (std::size_t i = 0; i < kTextCount; ++i) Write(kStartKeys[i], texts[i]);

    // Without a valid virtual MAC the engine starts nothing (the forwarder could not filter):
    // checked here, before the owner locks or starts anything, by the engine's own check.
    const std::string macText = CutText(Text(Key::kVirtualMac), kMacBufferSize);
    CMacAddress virtualMac;
    if (!CTunnelEngine::ParseVirtualMac(macText, virtualMac)) {
        refusal = "Not started: the virtual MAC address is not valid.";
        return false;
    }

    // The number of filled fields is not looked at; a port is its leading digits (atoi).
    settings.thisSubnet = AddressValue(Text(Key::kThisIp));
    settings.thisMask = AddressValue(Text(Key::kThisMask));
    settings.otherSubnet = AddressValue(Text(Key::kOtherIp));
    settings.otherMask = AddressValue(Text(Key::kOtherMask));
    settings.tunnelAddress = AddressValue(Text(Key::kTunnelIp));
    settings.tunnelPort = std::atoi(Text(Key::kTunnelPort).c_str());
    settings.listenPort = std::atoi(Text(Key::kListenPort).c_str());
    settings.virtualAddress = AddressValue(Text(Key::kVirtualIp));
    settings.virtualMac = macText;
    settings.adapter = adapter;
    settings.respond = respond;
    settings.key = key;
    settings.mode = !tcp       ? CTunnelEngine::Mode::kUdp
                    : initiate ? CTunnelEngine::Mode::kTcpInitiator
                               : CTunnelEngine::Mode::kTcpListener;
    return true;
}

}  // namespace panel
