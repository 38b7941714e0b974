// The Noise HandshakeState for the one pattern the sealed tunnel uses,
// Noise_NNpsk0_25519_ChaChaPoly_BLAKE2b:
//     -> psk, e
//     <- e, ee
// Two messages, each an ephemeral X25519 public key (32 bytes) followed by the payload sealed
// with a 16-byte tag. Neither end has a long-term key pair: knowing the pre-shared key is what
// authenticates both, and the fresh ephemerals give every session keys of its own.
// A value owned by the sealed channel (one per handshake in flight); one thread at a time.
// Private keys are zeroed when it goes. The fixed ephemeral of the constructor is a seam for the
// published test vectors only: the tunnel always draws a fresh one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "seal/CipherState.h"
#include "seal/SealFormat.h"
#include "seal/SymmetricState.h"

namespace seal {

class CHandshakeState {
  public:
    static constexpr std::string_view kProtocolName = "Noise_NNpsk0_25519_ChaChaPoly_BLAKE2b";
    // Bytes a handshake message adds to its payload: the ephemeral key and the tag.
    static constexpr int kOverhead = kPublicKeySize + kTagSize;

    enum class Role { kInitiator, kResponder };

    CHandshakeState() = default;  // empty: Finished() false, every call fails
    CHandshakeState(Role role, const std::uint8_t* psk, const std::uint8_t* prologue,
                    std::size_t prologueLength, const std::uint8_t* fixedEphemeral = nullptr);
    CHandshakeState(const CHandshakeState& other) = default;
    CHandshakeState& operator=(const CHandshakeState& other) = default;
    ~CHandshakeState();

    // The next message of this end's turn: `out` receives kOverhead + length bytes. False when
    // it is not this end's turn to write or a key could not be made.
    bool WriteMessage(const std::uint8_t* payload, std::size_t length, std::uint8_t* out);
    // The next message of the other end: `payload` receives length - kOverhead bytes. False when
    // it is not the other end's turn, the message is too short, the Diffie-Hellman result is
    // all zeros (a low-order point) or authentication fails. A failed read leaves the state
    // unusable: keep a copy to try another message.
    bool ReadMessage(const std::uint8_t* message, std::size_t length, std::uint8_t* payload);

    bool Finished() const { return m_step == 2; }
    // After the second message: initiator-to-responder, then responder-to-initiator.
    void Split(CCipherState& first, CCipherState& second) const {
        m_symmetric.Split(first, second);
    }

    Role GetRole() const { return m_role; }
    const std::uint8_t* EphemeralPublic() const { return m_ePublic; }
    const std::uint8_t* HandshakeHash() const { return m_symmetric.Hash(); }

  private:
    bool MakeEphemeral();
    void MixEphemeral(const std::uint8_t* publicKey);
    bool MixEphemeralEphemeral();

    Role m_role = Role::kInitiator;
    int m_step = -1;  // 0: first message next, 1: second, 2: done; -1 empty or failed
    CSymmetricState m_symmetric;
    std::uint8_t m_psk[kKeySize] = {};
    std::uint8_t m_ePrivate[kKeySize] = {};
    std::uint8_t m_ePublic[kPublicKeySize] = {};
    std::uint8_t m_remoteEphemeral[kPublicKeySize] = {};
    bool m_fixedEphemeral = false;
};

}  // namespace seal
