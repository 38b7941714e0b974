#include "seal/SymmetricState.h"

#include <sodium.h>

#include <cstring>

namespace seal {

namespace {

constexpr std::size_t kBlockSize = 128;  // BLAKE2b's block

// BLAKE2b-512 of the concatenation of up to three strings.
void Hash3(const std::uint8_t* a, std::size_t aLength, const std::uint8_t* b, std::size_t bLength,
           const std::uint8_t* c, std::size_t cLength, std::uint8_t* out) {
    crypto_generichash_blake2b_state state;
    crypto_generichash_blake2b_init(&state, nullptr, 0, kHashSize);
    if (aLength > 0) crypto_generichash_blake2b_update(&state, a, aLength);
    if (bLength > 0) crypto_generichash_blake2b_update(&state, b, bLength);
    if (cLength > 0) crypto_generichash_blake2b_update(&state, c, cLength);
    crypto_generichash_blake2b_final(&state, out, kHashSize);
    sodium_memzero(&state, sizeof state);
}

}  // namespace

CSymmetricState::~CSymmetricState() {
    sodium_memzero(m_ck, sizeof m_ck);
    sodium_memzero(m_h, sizeof m_h);
}

void CSymmetricState::Hmac(const std::uint8_t* key, std::size_t keyLength, const std::uint8_t* a,
                           std::size_t aLength, const std::uint8_t* b, std::size_t bLength,
                           std::uint8_t* out) {
    std::uint8_t pad[kBlockSize] = {};
    std::uint8_t inner[kHashSize];
    std::memcpy(pad, key, keyLength);
    for (std::uint8_t& byte : pad) byte ^= 0x36;
    Hash3(pad, sizeof pad, a, aLength, b, bLength, inner);
    for (std::uint8_t& byte : pad) byte ^= 0x36 ^ 0x5c;
    Hash3(pad, sizeof pad, inner, sizeof inner, nullptr, 0, out);
    sodium_memzero(pad, sizeof pad);
    sodium_memzero(inner, sizeof inner);
}

void CSymmetricState::Hkdf(const std::uint8_t* chainingKey, const std::uint8_t* ikm,
                           std::size_t length, std::uint8_t* out1, std::uint8_t* out2,
                           std::uint8_t* out3) {
    std::uint8_t tempKey[kHashSize];
    const std::uint8_t one = 1, two = 2, three = 3;
    Hmac(chainingKey, kHashSize, ikm, length, nullptr, 0, tempKey);
    Hmac(tempKey, kHashSize, &one, 1, nullptr, 0, out1);
    Hmac(tempKey, kHashSize, out1, kHashSize, &two, 1, out2);
    if (out3 != nullptr) Hmac(tempKey, kHashSize, out2, kHashSize, &three, 1, out3);
    sodium_memzero(tempKey, sizeof tempKey);
}

void CSymmetricState::Initialize(std::string_view protocolName) {
    std::memset(m_h, 0, sizeof m_h);
    if (protocolName.size() <= sizeof m_h) {
        std::memcpy(m_h, protocolName.data(), protocolName.size());
    } else {
        Hash3(reinterpret_cast<const std::uint8_t*>(protocolName.data()), protocolName.size(),
              nullptr, 0, nullptr, 0, m_h);
    }
    std::memcpy(m_ck, m_h, sizeof m_ck);
    m_cipher.Clear();
}

void CSymmetricState::MixKey(const std::uint8_t* ikm, std::size_t length) {
    std::uint8_t ck[kHashSize], tempKey[kHashSize];
    Hkdf(m_ck, ikm, length, ck, tempKey, nullptr);
    std::memcpy(m_ck, ck, sizeof m_ck);
    m_cipher.InitializeKey(tempKey);  // the first 32 of the 64 bytes
    sodium_memzero(ck, sizeof ck);
    sodium_memzero(tempKey, sizeof tempKey);
}

void CSymmetricState::MixHash(const std::uint8_t* data, std::size_t length) {
    std::uint8_t h[kHashSize];
    Hash3(m_h, sizeof m_h, data, length, nullptr, 0, h);
    std::memcpy(m_h, h, sizeof m_h);
}

void CSymmetricState::MixKeyAndHash(const std::uint8_t* ikm, std::size_t length) {
    std::uint8_t ck[kHashSize], tempHash[kHashSize], tempKey[kHashSize];
    Hkdf(m_ck, ikm, length, ck, tempHash, tempKey);
    std::memcpy(m_ck, ck, sizeof m_ck);
    MixHash(tempHash, sizeof tempHash);
    m_cipher.InitializeKey(tempKey);
    sodium_memzero(ck, sizeof ck);
    sodium_memzero(tempHash, sizeof tempHash);
    sodium_memzero(tempKey, sizeof tempKey);
}

bool CSymmetricState::EncryptAndHash(const std::uint8_t* plaintext, std::size_t length,
                                     std::uint8_t* out) {
    if (!m_cipher.EncryptWithAd(m_h, sizeof m_h, plaintext, length, out)) return false;
    MixHash(out, length + (m_cipher.HasKey() ? kTagSize : 0));
    return true;
}

bool CSymmetricState::DecryptAndHash(const std::uint8_t* ciphertext, std::size_t length,
                                     std::uint8_t* out) {
    // The hash covers the ciphertext, which `out` may overwrite: work out the new hash first.
    std::uint8_t h[kHashSize];
    Hash3(m_h, sizeof m_h, ciphertext, length, nullptr, 0, h);
    if (!m_cipher.DecryptWithAd(m_h, sizeof m_h, ciphertext, length, out)) return false;
    std::memcpy(m_h, h, sizeof m_h);
    return true;
}

void CSymmetricState::Split(CCipherState& first, CCipherState& second) const {
    std::uint8_t k1[kHashSize], k2[kHashSize];
    Hkdf(m_ck, nullptr, 0, k1, k2, nullptr);
    first.InitializeKey(k1);
    second.InitializeKey(k2);
    sodium_memzero(k1, sizeof k1);
    sodium_memzero(k2, sizeof k2);
}

}  // namespace seal
