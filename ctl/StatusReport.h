// What vantrellctl makes of one end's answer to `get=1` (docs/status-socket.md): the key=value
// lines kept in their order, the neighbours apart, and the three ways of printing a set of ends
// (for people in the manner of `wg show`, one JSON document, the Prometheus text format).
// Pure: no I/O; one thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

class CStatusReport {
  public:
    using Fields = std::vector<std::pair<std::string, std::string>>;

    // False when the text is not a whole answer (no "errno=0" line) or says an error.
    bool Parse(const std::string& text);
    // The value of `key`, or `otherwise`.
    std::string Get(const std::string& key, const std::string& otherwise = std::string()) const;
    const Fields& Top() const { return m_fields; }
    const std::vector<Fields>& Neighbours() const { return m_neighbours; }

    std::string Human() const;
    static std::string Json(const std::vector<CStatusReport>& ends);
    static std::string Metrics(const std::vector<CStatusReport>& ends);

  private:
    Fields m_fields;                   // everything before the first "neighbour="
    std::vector<Fields> m_neighbours;  // each begins with its "neighbour=" line
};
