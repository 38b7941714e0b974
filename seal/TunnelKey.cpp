#include "seal/TunnelKey.h"

#include <sodium.h>

#include <cstring>

namespace seal {

namespace {

constexpr std::string_view kHowToMake =
    " It must be 32 bytes written as 64 hexadecimal digits, or as the 44 base64 characters that"
    " 'head -c 32 /dev/urandom | base64' prints; both ends need the same key.";

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool IsBase64Char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

std::string Sentence(std::string_view what) {
    std::string s = "The tunnel key ([Tunnel] Key) ";
    s += what;
    s += '.';
    s += kHowToMake;
    return s;
}

}  // namespace

CTunnelKey::CTunnelKey(const CTunnelKey& other) : m_set(other.m_set) {
    std::memcpy(m_bytes, other.m_bytes, sizeof m_bytes);
}

CTunnelKey& CTunnelKey::operator=(const CTunnelKey& other) {
    if (this != &other) {
        std::memcpy(m_bytes, other.m_bytes, sizeof m_bytes);
        m_set = other.m_set;
    }
    return *this;
}

CTunnelKey::~CTunnelKey() {
    Clear();
}

void CTunnelKey::Clear() {
    sodium_memzero(m_bytes, sizeof m_bytes);
    m_set = false;
}

CTunnelKey CTunnelKey::FromBytes(const std::uint8_t* bytes) {
    CTunnelKey key;
    std::memcpy(key.m_bytes, bytes, sizeof key.m_bytes);
    key.m_set = true;
    return key;
}

bool CTunnelKey::Parse(std::string_view text, CTunnelKey& key, std::string& error) {
    if (sodium_init() < 0) {
        error = "The cryptographic library could not be initialised.";
        return false;
    }
    key.Clear();
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    if (text.empty()) {
        error = Sentence("is empty");
        return false;
    }

    bool allHex = true;
    bool allBase64 = true;
    std::size_t padding = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        allHex = allHex && IsHexDigit(c);
        if (c == '=' && i + 2 >= text.size()) {
            ++padding;
        } else if (!IsBase64Char(c) || padding > 0) {
            allBase64 = false;
        }
    }

    std::size_t decoded = 0;
    int result = -1;
    if (allHex && text.size() == 2 * kKeySize) {
        result = sodium_hex2bin(key.m_bytes, sizeof key.m_bytes, text.data(), text.size(), nullptr,
                                &decoded, nullptr);
    } else if (allBase64 && text.size() == 44 && padding == 1) {
        result = sodium_base642bin(key.m_bytes, sizeof key.m_bytes, text.data(), text.size(),
                                   nullptr, &decoded, nullptr, sodium_base64_VARIANT_ORIGINAL);
    } else if (allHex || allBase64) {
        error = Sentence("has " + std::to_string(text.size()) +
                         " characters, which is neither 64 hexadecimal digits nor 44 base64"
                         " characters ending in '='");
        return false;
    } else {
        error = Sentence("contains characters that are neither hexadecimal digits nor base64");
        return false;
    }
    if (result != 0 || decoded != static_cast<std::size_t>(kKeySize)) {
        key.Clear();
        error = Sentence("does not decode to 32 bytes");
        return false;
    }
    if (sodium_is_zero(key.m_bytes, sizeof key.m_bytes)) {
        key.Clear();
        error = Sentence("is all zeros");
        return false;
    }
    key.m_set = true;
    return true;
}

}  // namespace seal
