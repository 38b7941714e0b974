#include "control/StatusProtocol.h"

#include <cstdio>
#include <cstdlib>

namespace control {
namespace {

std::string Dotted(std::uint32_t address) {  // host order
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 255,
                  (address >> 8) & 255, address & 255);
    return text;
}

// A value never holds a line break: the line would end there.
std::string OneLine(const std::string& text) {
    std::string line = text;
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return line;
}

void Put(std::string& out, const char* key, const std::string& value) {
    out += key;
    out += '=';
    out += value;
    out += '\n';
}

void Put(std::string& out, const char* key, std::uint64_t value) {
    Put(out, key, std::to_string(value));
}

void Put(std::string& out, const char* key, std::int64_t value) {
    Put(out, key, std::to_string(value));
}

}  // namespace

std::string RuntimeFolder() {
    if (const char* unit = std::getenv("RUNTIME_DIRECTORY"); unit != nullptr && *unit != 0) {
        const std::string folders = unit;  // several RuntimeDirectory= entries: ':' between
        return folders.substr(0, folders.find(':'));
    }
    if (const char* user = std::getenv("XDG_RUNTIME_DIR"); user != nullptr && *user != 0) {
        return std::string(user) + "/vantrell";
    }
    return std::string();
}

std::string SiteName(const std::string& raw) {
    std::string site;
    bool onlyDots = true;
    for (char c : raw.substr(0, 64)) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        site += kept ? c : '_';
        onlyDots = onlyDots && c == '.';
    }
    return onlyDots ? std::string("vantrell") : site;
}

std::string SiteOfFolder(const std::string& folder) {
    std::string path = folder;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t slash = path.rfind('/');
    return SiteName(slash == std::string::npos ? path : path.substr(slash + 1));
}

std::string FormatStatus(const TunnelStatus& s) {
    std::string out;
    out.reserve(1024 + 96 * s.neighbours.size());
    Put(out, "protocol_version", std::uint64_t{kProtocolVersion});
    Put(out, "site", OneLine(s.site));
    Put(out, "running", std::string(s.running ? "true" : "false"));
    Put(out, "mode", std::string(s.mode));
    Put(out, "sealed", std::string(s.sealed ? "true" : "false"));
    Put(out, "status", OneLine(s.sentence));
    if (std::string(s.mode) != "tcp_listener") {
        Put(out, "endpoint", Dotted(s.peerAddress) + ":" + std::to_string(s.peerPort));
    }
    Put(out, "listen_port", std::uint64_t(s.listenPort));
    Put(out, "lan_card", OneLine(s.card));
    Put(out, "lan_card_state", std::string(s.cardState));
    Put(out, "uptime_sec", s.uptimeSeconds);
    Put(out, "tx_packets", s.txPackets);
    Put(out, "tx_bytes", s.txBytes);
    Put(out, "rx_packets", s.rxPackets);
    Put(out, "rx_bytes", s.rxBytes);
    for (int i = 0; i < TunnelStatus::kReasons; ++i) {
        Put(out, ("dropped_" + std::string(kDropReasons[i])).c_str(), s.dropped[i]);
    }
    if (s.sealed) {
        Put(out, "last_handshake_sec", s.handshakeSecondsAgo);
        Put(out, "rekeys", s.rekeys);
    }
    for (const NeighbourStatus& n : s.neighbours) {
        char mac[18];
        std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", n.mac[0], n.mac[1],
                      n.mac[2], n.mac[3], n.mac[4], n.mac[5]);
        Put(out, "neighbour", Dotted(n.address));  // begins a neighbour's lines
        Put(out, "mac", std::string(mac));
        Put(out, "state", std::string(n.state));
        Put(out, "confirmed_sec", n.confirmedSecondsAgo);
    }
    out += "errno=0\n\n";
    return out;
}

}  // namespace control
