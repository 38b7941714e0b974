// The Noise CipherState for ChaChaPoly: a 32-byte key k and a 64-bit nonce n, and the AEAD
// ChaCha20-Poly1305 (IETF) on libsodium with the 96-bit nonce made of 4 zero bytes and n
// little-endian. The handshake uses the stateful Noise calls; the transport's sessions use the
// explicit-nonce calls with a counter carried in each data message.
// A value owned by whoever holds it (a SymmetricState, a session); one thread at a time. The key
// is zeroed when the object goes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "seal/SealFormat.h"

namespace seal {

class CCipherState {
  public:
    CCipherState() = default;
    CCipherState(const CCipherState& other) = default;
    CCipherState& operator=(const CCipherState& other) = default;
    ~CCipherState();

    void InitializeKey(const std::uint8_t* key);  // kKeySize bytes; the nonce starts at 0
    void Clear();                                 // no key, as at construction
    bool HasKey() const { return m_hasKey; }
    const std::uint8_t* Key() const { return m_key; }
    std::uint64_t Nonce() const { return m_nonce; }

    // Noise EncryptWithAd: without a key the plaintext is copied unchanged; with one, `out`
    // receives the ciphertext and the 16-byte tag (length + 16 bytes) and the nonce advances.
    // `out` may be `plaintext` itself. False when the nonce is exhausted (2^64 - 1).
    bool EncryptWithAd(const std::uint8_t* ad, std::size_t adLength, const std::uint8_t* plaintext,
                       std::size_t length, std::uint8_t* out);
    // Noise DecryptWithAd: `length` counts ciphertext and tag; `out` receives length - 16 bytes
    // (all `length` without a key). False when authentication fails: the nonce stays, and
    // whatever `out` holds then is not plaintext.
    bool DecryptWithAd(const std::uint8_t* ad, std::size_t adLength, const std::uint8_t* ciphertext,
                       std::size_t length, std::uint8_t* out);

    // The AEAD with an explicit nonce, for the transport. `out` may be the input itself.
    static void Seal(const std::uint8_t* key, std::uint64_t nonce, const std::uint8_t* ad,
                     std::size_t adLength, const std::uint8_t* plaintext, std::size_t length,
                     std::uint8_t* out);
    static bool Open(const std::uint8_t* key, std::uint64_t nonce, const std::uint8_t* ad,
                     std::size_t adLength, const std::uint8_t* ciphertext, std::size_t length,
                     std::uint8_t* out);

  private:
    std::uint8_t m_key[kKeySize] = {};
    std::uint64_t m_nonce = 0;
    bool m_hasKey = false;
};

}  // namespace seal
