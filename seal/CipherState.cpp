#include "seal/CipherState.h"

#include <sodium.h>

#include <cstring>
#include <limits>

namespace seal {

namespace {

// ChaChaPoly's nonce in Noise: 32 bits of zeros, then the 64-bit counter little-endian.
void MakeNonce(std::uint64_t n, unsigned char* nonce) {
    static_assert(crypto_aead_chacha20poly1305_ietf_NPUBBYTES == 12);
    std::memset(nonce, 0, 4);
    PutLe64(nonce + 4, n);
}

}  // namespace

CCipherState::~CCipherState() {
    Clear();
}

void CCipherState::InitializeKey(const std::uint8_t* key) {
    std::memcpy(m_key, key, sizeof m_key);
    m_nonce = 0;
    m_hasKey = true;
}

void CCipherState::Clear() {
    sodium_memzero(m_key, sizeof m_key);
    m_nonce = 0;
    m_hasKey = false;
}

void CCipherState::Seal(const std::uint8_t* key, std::uint64_t nonce, const std::uint8_t* ad,
                        std::size_t adLength, const std::uint8_t* plaintext, std::size_t length,
                        std::uint8_t* out) {
    unsigned char npub[crypto_aead_chacha20poly1305_ietf_NPUBBYTES];
    MakeNonce(nonce, npub);
    crypto_aead_chacha20poly1305_ietf_encrypt(out, nullptr, plaintext, length, ad, adLength,
                                              nullptr, npub, key);
}

bool CCipherState::Open(const std::uint8_t* key, std::uint64_t nonce, const std::uint8_t* ad,
                        std::size_t adLength, const std::uint8_t* ciphertext, std::size_t length,
                        std::uint8_t* out) {
    if (length < static_cast<std::size_t>(kTagSize)) return false;
    unsigned char npub[crypto_aead_chacha20poly1305_ietf_NPUBBYTES];
    MakeNonce(nonce, npub);
    return crypto_aead_chacha20poly1305_ietf_decrypt(out, nullptr, nullptr, ciphertext, length, ad,
                                                     adLength, npub, key) == 0;
}

bool CCipherState::EncryptWithAd(const std::uint8_t* ad, std::size_t adLength,
                                 const std::uint8_t* plaintext, std::size_t length,
                                 std::uint8_t* out) {
    if (!m_hasKey) {
        if (out != plaintext && length > 0) std::memmove(out, plaintext, length);
        return true;
    }
    if (m_nonce == std::numeric_limits<std::uint64_t>::max()) return false;  // reserved by Noise
    Seal(m_key, m_nonce, ad, adLength, plaintext, length, out);
    ++m_nonce;
    return true;
}

bool CCipherState::DecryptWithAd(const std::uint8_t* ad, std::size_t adLength,
                                 const std::uint8_t* ciphertext, std::size_t length,
                                 std::uint8_t* out) {
    if (!m_hasKey) {
        if (out != ciphertext && length > 0) std::memmove(out, ciphertext, length);
        return true;
    }
    if (m_nonce == std::numeric_limits<std::uint64_t>::max()) return false;
    if (!Open(m_key, m_nonce, ad, adLength, ciphertext, length, out)) return false;
    ++m_nonce;
    return true;
}

}  // namespace seal
