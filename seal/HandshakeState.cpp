#include "seal/HandshakeState.h"

#include <sodium.h>

#include <cstring>

namespace seal {

CHandshakeState::CHandshakeState(Role role, const std::uint8_t* psk, const std::uint8_t* prologue,
                                 std::size_t prologueLength, const std::uint8_t* fixedEphemeral)
    : m_role(role), m_step(0) {
    if (sodium_init() < 0) {
        m_step = -1;
        return;
    }
    std::memcpy(m_psk, psk, sizeof m_psk);
    if (fixedEphemeral != nullptr) {
        std::memcpy(m_ePrivate, fixedEphemeral, sizeof m_ePrivate);
        m_fixedEphemeral = true;
    }
    m_symmetric.Initialize(kProtocolName);
    m_symmetric.MixHash(prologue, prologueLength);
}

CHandshakeState::~CHandshakeState() {
    sodium_memzero(m_psk, sizeof m_psk);
    sodium_memzero(m_ePrivate, sizeof m_ePrivate);
}

bool CHandshakeState::MakeEphemeral() {
    if (!m_fixedEphemeral) randombytes_buf(m_ePrivate, sizeof m_ePrivate);
    return crypto_scalarmult_base(m_ePublic, m_ePrivate) == 0;
}

// Token "e" in a handshake with a pre-shared key: the public key goes into the hash and, since
// the psk modifier is used, into the chaining key as well.
void CHandshakeState::MixEphemeral(const std::uint8_t* publicKey) {
    m_symmetric.MixHash(publicKey, kPublicKeySize);
    m_symmetric.MixKey(publicKey, kPublicKeySize);
}

// Token "ee": the Diffie-Hellman result of both ephemerals goes into the chaining key.
bool CHandshakeState::MixEphemeralEphemeral() {
    std::uint8_t shared[kKeySize];
    if (crypto_scalarmult(shared, m_ePrivate, m_remoteEphemeral) != 0) return false;
    m_symmetric.MixKey(shared, sizeof shared);
    sodium_memzero(shared, sizeof shared);
    return true;
}

bool CHandshakeState::WriteMessage(const std::uint8_t* payload, std::size_t length,
                                   std::uint8_t* out) {
    bool initiatorTurn = m_step == 0;
    if (!((initiatorTurn && m_role == Role::kInitiator) ||
          (m_step == 1 && m_role == Role::kResponder))) {
        return false;
    }
    if (initiatorTurn) m_symmetric.MixKeyAndHash(m_psk, sizeof m_psk);  // psk
    if (!MakeEphemeral()) {                                             // e
        m_step = -1;
        return false;
    }
    std::memcpy(out, m_ePublic, kPublicKeySize);
    MixEphemeral(m_ePublic);
    if (!initiatorTurn && !MixEphemeralEphemeral()) {  // ee
        m_step = -1;
        return false;
    }
    if (!m_symmetric.EncryptAndHash(payload, length, out + kPublicKeySize)) {
        m_step = -1;
        return false;
    }
    ++m_step;
    return true;
}

bool CHandshakeState::ReadMessage(const std::uint8_t* message, std::size_t length,
                                  std::uint8_t* payload) {
    bool initiatorTurn = m_step == 0;
    if (!((initiatorTurn && m_role == Role::kResponder) ||
          (m_step == 1 && m_role == Role::kInitiator))) {
        return false;
    }
    if (length < static_cast<std::size_t>(kOverhead)) {
        m_step = -1;
        return false;
    }
    if (initiatorTurn) m_symmetric.MixKeyAndHash(m_psk, sizeof m_psk);  // psk
    std::memcpy(m_remoteEphemeral, message, kPublicKeySize);            // e
    MixEphemeral(m_remoteEphemeral);
    if (!initiatorTurn && !MixEphemeralEphemeral()) {  // ee
        m_step = -1;
        return false;
    }
    if (!m_symmetric.DecryptAndHash(message + kPublicKeySize, length - kPublicKeySize, payload)) {
        m_step = -1;
        return false;
    }
    ++m_step;
    return true;
}

}  // namespace seal
