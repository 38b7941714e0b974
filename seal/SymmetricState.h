// The Noise SymmetricState with BLAKE2b (HASHLEN 64, BLOCKLEN 128): the chaining key ck, the
// handshake hash h and a CipherState, with HMAC and HKDF as the Noise framework defines them
// over libsodium's crypto_generichash_blake2b.
// Owned by one HandshakeState; one thread at a time. Key material is zeroed when it goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "seal/CipherState.h"
#include "seal/SealFormat.h"

namespace seal {

class CSymmetricState {
  public:
    CSymmetricState() = default;
    CSymmetricState(const CSymmetricState& other) = default;
    CSymmetricState& operator=(const CSymmetricState& other) = default;
    ~CSymmetricState();

    void Initialize(std::string_view protocolName);
    void MixKey(const std::uint8_t* ikm, std::size_t length);
    void MixHash(const std::uint8_t* data, std::size_t length);
    void MixKeyAndHash(const std::uint8_t* ikm, std::size_t length);
    // `out` receives length (+ 16 with a key) bytes; false as CCipherState's calls.
    bool EncryptAndHash(const std::uint8_t* plaintext, std::size_t length, std::uint8_t* out);
    bool DecryptAndHash(const std::uint8_t* ciphertext, std::size_t length, std::uint8_t* out);
    // The two transport CipherStates: initiator-to-responder, then responder-to-initiator.
    void Split(CCipherState& first, CCipherState& second) const;

    const std::uint8_t* Hash() const { return m_h; }
    bool HasKey() const { return m_cipher.HasKey(); }

    // HMAC-BLAKE2b (RFC 2104 over BLAKE2b-512 with a 128-byte block) of the concatenation of
    // two byte strings; `key` at most 128 bytes. Public so that tests check it on its own.
    static void Hmac(const std::uint8_t* key, std::size_t keyLength, const std::uint8_t* a,
                     std::size_t aLength, const std::uint8_t* b, std::size_t bLength,
                     std::uint8_t* out);
    // Noise HKDF(chaining key, input key material, 2 or 3 outputs of 64 bytes each).
    static void Hkdf(const std::uint8_t* chainingKey, const std::uint8_t* ikm, std::size_t length,
                     std::uint8_t* out1, std::uint8_t* out2, std::uint8_t* out3);

  private:
    std::uint8_t m_ck[kHashSize] = {};
    std::uint8_t m_h[kHashSize] = {};
    CCipherState m_cipher;
};

}  // namespace seal
