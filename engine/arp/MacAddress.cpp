#include "engine/arp/MacAddress.h"

#include <cstdio>

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

CMacAddress::Problem CMacAddress::Parse(const char* text) {
    static constexpr std::uint8_t kZero[6] = {};
    Set(kZero);
    const char* p = text != nullptr ? text : "";
    while (IsBlank(*p)) ++p;
    std::uint8_t bytes[6];
    for (int field = 0; field < 6; ++field) {
        if (field > 0 && *p++ != ':') return Problem::kNotSixFields;
        int value = 0, digits = 0;
        for (; HexDigit(*p) >= 0 && digits <= 2; ++p, ++digits) value = value * 16 + HexDigit(*p);
        if (digits == 0 || digits > 2) return Problem::kNotSixFields;
        bytes[field] = static_cast<std::uint8_t>(value);
    }
    while (IsBlank(*p)) ++p;
    if (*p != '\0') return Problem::kNotSixFields;
    const Problem problem = Classify(bytes);
    if (problem == Problem::kNone) Set(bytes);
    return problem;
}

CMacAddress::Problem CMacAddress::Classify(const std::uint8_t* bytes) {
    if ((bytes[0] & 0x01) != 0) return Problem::kGroup;  // multicast or broadcast
    for (int i = 0; i < 6; ++i) {
        if (bytes[i] != 0) return Problem::kNone;
    }
    return Problem::kAllZero;
}

void CMacAddress::Set(const std::uint8_t* bytes) {
    for (int i = 0; i < 6; ++i) m_bytes[i] = bytes[i];
    std::snprintf(m_text, sizeof m_text, "%02x:%02x:%02x:%02x:%02x:%02x", m_bytes[0], m_bytes[1],
                  m_bytes[2], m_bytes[3], m_bytes[4], m_bytes[5]);
}

const char* CMacAddress::Describe(Problem problem) {
    switch (problem) {
        case Problem::kNone:
            return "is valid";
        case Problem::kNotSixFields:
            return "is not six hexadecimal fields of one or two digits separated by colons";
        case Problem::kGroup:
            return "is a group (multicast or broadcast) address";
        case Problem::kAllZero:
            return "is all zero";
    }
    return "is not valid";
}
