// The settings file's keys: each key's section, name and default, once. The dialog's
// initialisation reads them in this order (each read written straight back, so that a first run
// leaves every key in the file), Start writes the ten text keys in StartKeys' order, and each check
// box writes its own key; the daemon reads and writes the same keys the same way. Pure data and
// thin calls of panel/Settings; UI thread (or the daemon's main thread).
#pragma once

#include <string>

namespace panel {

enum class Key {
    kThisIp,       // "This End"/"IP"
    kThisMask,     // "This End"/"Mask"
    kOtherIp,      // "Other End"/"IP"
    kOtherMask,    // "Other End"/"Mask"
    kTunnelIp,     // "Tunnel"/"IP": the peer's address
    kTunnelPort,   // "Tunnel"/"Port": the peer's port
    kListenPort,   // "Listen"/"Port"
    kAdaptor,      // "This End"/"Adaptor": the chosen adapter's label
    kVirtualIp,    // "Virtual"/"IP"
    kVirtualMac,   // "Virtual"/"MAC"
    kTcp,          // "Tunnel"/"TCP", yes/no
    kTcpInitiate,  // "Tunnel"/"TCP Initiate", yes/no
    kRespond,      // "ARP"/"Respond", yes/no
    kAutostart,    // "Start"/"Autostart", yes/no
    kHide,         // "Start"/"Hide": read and written back, nothing more
    kCount
};

struct KeyEntry {
    const char* section;
    const char* name;
    const char* defaultValue;
};

// Indexed by Key, in the order the dialog reads them.
inline constexpr KeyEntry kKeys[static_cast<int>(Key::kCount)] = {
    {"This End", "IP", "0.0.0.0"},  {"This End", "Mask", "255.255.255.0"},
    {"Other End", "IP", "0.0.0.0"}, {"Other End", "Mask", "255.255.255.0"},
    {"Tunnel", "IP", "0.0.0.0"},    {"Tunnel", "Port", "27659"},
    {"Listen", "Port", "27659"},    {"This End", "Adaptor", ""},
    {"Virtual", "IP", "0.0.0.0"},   {"Virtual", "MAC", "00:D0:BE:D0:BE:D0"},
    {"Tunnel", "TCP", "No"},        {"Tunnel", "TCP Initiate", "No"},
    {"ARP", "Respond", "Yes"},      {"Start", "Autostart", "No"},
    {"Start", "Hide", "No"},
};

// What Start writes, in this order (the seven address and port keys, the adapter, the router).
inline constexpr Key kStartKeys[] = {
    Key::kThisIp,     Key::kThisMask,   Key::kOtherIp, Key::kOtherMask, Key::kTunnelIp,
    Key::kTunnelPort, Key::kListenPort, Key::kAdaptor, Key::kVirtualIp, Key::kVirtualMac,
};

// The tunnel key: only some files hold it, so it is read without being written back.
inline constexpr KeyEntry kTunnelKey = {"Tunnel", "Key", ""};

const KeyEntry& Entry(Key key);
// ReadSetting with the key's default: the value (at most 299 characters), written back.
std::string Read(Key key);
void Write(Key key, const std::string& text);
// The yes/no keys: read as yes by their first character; written as "Yes" or "No".
bool ReadYes(Key key);
void WriteYes(Key key, bool yes);

}  // namespace panel
