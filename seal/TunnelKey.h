// The shared key of a sealed tunnel: the setting [Tunnel] "Key", 32 bytes written as 64
// hexadecimal digits or as the 44 base64 characters that `head -c 32 /dev/urandom | base64`
// prints. Parse never puts the key's text or bytes into its error message; the bytes are
// zeroed when the object goes (and when a parse fails).
// A value: whoever parses it owns it (the tunnel's owner, then a copy in the sealed channel).
// Not shared between threads while it changes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "seal/SealFormat.h"

namespace seal {

class CTunnelKey {
  public:
    CTunnelKey() = default;
    CTunnelKey(const CTunnelKey& other);
    CTunnelKey& operator=(const CTunnelKey& other);
    ~CTunnelKey();

    // Reads the setting's text (surrounding blanks and line ends ignored). On success fills
    // `key` and returns true; otherwise leaves `key` empty, sets `error` to a sentence for the
    // operator that names what is wrong, never the text itself, and returns false.
    static bool Parse(std::string_view text, CTunnelKey& key, std::string& error);

    bool IsSet() const { return m_set; }
    const std::uint8_t* Bytes() const { return m_bytes; }  // kKeySize bytes

    // Tests and tools only: a key from raw bytes.
    static CTunnelKey FromBytes(const std::uint8_t* bytes);

  private:
    void Clear();

    std::uint8_t m_bytes[kKeySize] = {};
    bool m_set = false;
};

}  // namespace seal
