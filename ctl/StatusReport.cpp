#include "ctl/StatusReport.h"

#include <cstdio>
#include <cstdlib>
#include <map>

namespace {

constexpr const char* kDropPrefix = "dropped_";

bool IsInteger(const std::string& text) {
    std::size_t at = !text.empty() && text[0] == '-' ? 1 : 0;
    if (at == text.size()) return false;
    for (; at < text.size(); ++at) {
        if (text[at] < '0' || text[at] > '9') return false;
    }
    return true;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string JsonValue(const std::string& value) {
    if (value == "true" || value == "false" || IsInteger(value)) return value;
    return JsonString(value);
}

// "1 hour, 2 minutes, 3 seconds", as `wg show` says durations.
std::string Duration(long long seconds) {
    if (seconds <= 0) return "0 seconds";
    static const std::pair<long long, const char*> kUnits[] = {
        {86400, "day"}, {3600, "hour"}, {60, "minute"}, {1, "second"}};
    std::string out;
    for (const auto& [size, name] : kUnits) {
        const long long n = seconds / size;
        seconds %= size;
        if (n == 0) continue;
        if (!out.empty()) out += ", ";
        out += std::to_string(n) + " " + name + (n == 1 ? "" : "s");
    }
    return out;
}

std::string Bytes(unsigned long long bytes) {
    static const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.2f %s", value, kUnits[unit]);
    return text;
}

std::string ModeWords(const std::string& mode) {
    if (mode == "udp") return "UDP";
    if (mode == "tcp_listener") return "TCP listener";
    if (mode == "tcp_initiator") return "TCP initiator";
    return mode;
}

std::string Label(const std::string& value) {  // a Prometheus label value, escaped
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"') out += '\\';
        out += c == '\n' ? 'n' : c;
    }
    return out;
}

}  // namespace

bool CStatusReport::Parse(const std::string& text) {
    m_fields.clear();
    m_neighbours.clear();
    bool ended = false;
    std::size_t at = 0;
    while (at < text.size() && !ended) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key == "errno") {
            if (value != "0") return false;
            ended = true;
        } else if (key == "neighbour") {
            m_neighbours.push_back({{key, value}});
        } else if (!m_neighbours.empty()) {
            m_neighbours.back().emplace_back(std::move(key), std::move(value));
        } else {
            m_fields.emplace_back(std::move(key), std::move(value));
        }
    }
    return ended;
}

std::string CStatusReport::Get(const std::string& key, const std::string& otherwise) const {
    for (const auto& [k, v] : m_fields) {
        if (k == key) return v;
    }
    return otherwise;
}

std::string CStatusReport::Human() const {
    std::string out = "site: " + Get("site") + "\n";
    auto line = [&](const std::string& name, const std::string& value) {
        out += "  " + name + ": " + value + "\n";
    };
    line("mode", ModeWords(Get("mode")));
    line("sealed", Get("sealed") == "true" ? "yes" : "no");
    line("status", Get("status"));
    if (!Get("endpoint").empty()) line("endpoint", Get("endpoint"));
    line("listening port", Get("listen_port"));
    line("lan card", Get("lan_card") + " (" + Get("lan_card_state") + ")");
    const bool running = Get("running") == "true";
    line("running", running ? "for " + Duration(std::atoll(Get("uptime_sec").c_str())) : "no");
    if (Get("sealed") == "true") {
        const long long age = std::atoll(Get("last_handshake_sec", "-1").c_str());
        line("latest handshake", age < 0 ? "none" : Duration(age) + " ago");
        line("rekeys", Get("rekeys"));
    }
    line("transfer", Bytes(std::strtoull(Get("rx_bytes").c_str(), nullptr, 10)) + " received (" +
                         Get("rx_packets") + " packets), " +
                         Bytes(std::strtoull(Get("tx_bytes").c_str(), nullptr, 10)) + " sent (" +
                         Get("tx_packets") + " packets)");
    std::string drops;
    for (const auto& [key, value] : m_fields) {
        if (key.rfind(kDropPrefix, 0) != 0 || value == "0") continue;
        if (!drops.empty()) drops += ", ";
        drops += key.substr(8) + " " + value;
    }
    line("dropped", drops.empty() ? "none" : drops);
    for (const Fields& neighbour : m_neighbours) {
        out += "\n  neighbour: " + neighbour[0].second + "\n";
        for (std::size_t i = 1; i < neighbour.size(); ++i) {
            const auto& [key, value] = neighbour[i];
            if (key == "confirmed_sec") {
                const long long age = std::atoll(value.c_str());
                out +=
                    "    confirmed: " + (age < 0 ? std::string("never") : Duration(age) + " ago") +
                    "\n";
            } else {
                out += "    " + key + ": " + value + "\n";
            }
        }
    }
    return out;
}

std::string CStatusReport::Json(const std::vector<CStatusReport>& ends) {
    std::string out = "{\"ends\": [";
    for (std::size_t e = 0; e < ends.size(); ++e) {
        const CStatusReport& end = ends[e];
        out += e == 0 ? "\n  {" : ",\n  {";
        std::string drops;
        bool first = true;
        for (const auto& [key, value] : end.m_fields) {
            if (key.rfind(kDropPrefix, 0) == 0) {
                drops += (drops.empty() ? "" : ", ") + JsonString(key.substr(8)) + ": " +
                         JsonValue(value);
                continue;
            }
            out += (first ? "" : ", ") + JsonString(key) + ": " + JsonValue(value);
            first = false;
        }
        out += ", \"dropped\": {" + drops + "}, \"neighbours\": [";
        for (std::size_t n = 0; n < end.m_neighbours.size(); ++n) {
            out += n == 0 ? "{" : ", {";
            const Fields& neighbour = end.m_neighbours[n];
            for (std::size_t i = 0; i < neighbour.size(); ++i) {
                const std::string key = i == 0 ? "address" : neighbour[i].first;
                out +=
                    (i == 0 ? "" : ", ") + JsonString(key) + ": " + JsonValue(neighbour[i].second);
            }
            out += "}";
        }
        out += "]}";
    }
    return out + "\n]}\n";
}

std::string CStatusReport::Metrics(const std::vector<CStatusReport>& ends) {
    std::string out;
    auto family = [&](const char* name, const char* type, const char* help) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
    auto sample = [&](const char* name, const CStatusReport& end, const std::string& labels,
                      const std::string& value) {
        out += std::string(name) + "{site=\"" + Label(end.Get("site")) + "\"" + labels + "} " +
               (value.empty() ? "0" : value) + "\n";
    };
    family("vantrell_up", "gauge", "Whether the tunnel end is started (1) or stopped (0).");
    for (const CStatusReport& end : ends) {
        sample("vantrell_up", end, "", end.Get("running") == "true" ? "1" : "0");
    }
    family("vantrell_uptime_seconds", "gauge", "Seconds since the tunnel end was started.");
    for (const CStatusReport& end : ends)
        sample("vantrell_uptime_seconds", end, "", end.Get("uptime_sec"));
    family("vantrell_transferred_bytes_total", "counter",
           "IP bytes carried since Start; tx from the LAN into the tunnel, rx out of it.");
    for (const CStatusReport& end : ends) {
        sample("vantrell_transferred_bytes_total", end, ",direction=\"tx\"", end.Get("tx_bytes"));
        sample("vantrell_transferred_bytes_total", end, ",direction=\"rx\"", end.Get("rx_bytes"));
    }
    family("vantrell_transferred_packets_total", "counter",
           "Packets carried since Start; tx from the LAN into the tunnel, rx out of it.");
    for (const CStatusReport& end : ends) {
        sample("vantrell_transferred_packets_total", end, ",direction=\"tx\"",
               end.Get("tx_packets"));
        sample("vantrell_transferred_packets_total", end, ",direction=\"rx\"",
               end.Get("rx_packets"));
    }
    family("vantrell_dropped_packets_total", "counter", "Packets dropped since Start, by reason.");
    for (const CStatusReport& end : ends) {
        for (const auto& [key, value] : end.m_fields) {
            if (key.rfind(kDropPrefix, 0) != 0) continue;
            sample("vantrell_dropped_packets_total", end, ",reason=\"" + key.substr(8) + "\"",
                   value);
        }
    }
    family("vantrell_neighbours", "gauge", "Entries of the neighbour table, by state.");
    for (const CStatusReport& end : ends) {
        std::map<std::string, int> states;
        for (const char* state : {"incomplete", "reachable", "probe", "failed"}) states[state] = 0;
        for (const Fields& neighbour : end.m_neighbours) {
            for (const auto& [key, value] : neighbour) {
                if (key == "state") ++states[value];
            }
        }
        for (const auto& [state, count] : states) {
            sample("vantrell_neighbours", end, ",state=\"" + Label(state) + "\"",
                   std::to_string(count));
        }
    }
    family("vantrell_rekeys_total", "counter", "Sealed tunnel: new sessions after the first.");
    for (const CStatusReport& end : ends) {
        if (end.Get("sealed") == "true")
            sample("vantrell_rekeys_total", end, "", end.Get("rekeys"));
    }
    family("vantrell_last_handshake_seconds", "gauge",
           "Sealed tunnel: seconds since the last completed handshake.");
    for (const CStatusReport& end : ends) {
        const std::string age = end.Get("last_handshake_sec", "-1");
        if (end.Get("sealed") == "true" && age != "-1") {
            sample("vantrell_last_handshake_seconds", end, "", age);
        }
    }
    return out;
}
