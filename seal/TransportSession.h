// One session of the sealed tunnel after a completed handshake: the key to send with and its
// counter, the key to receive with and its replay window, the two ends' 32-bit indices, the
// time it began and which end initiated it.
// Owned by the sealed channel, which keeps three (current, previous, next) and reaches them only
// under its lock; the keys are zeroed when the session is cleared or destroyed.
#pragma once

#include <cstdint>

#include "seal/CipherState.h"
#include "seal/ReplayWindow.h"
#include "seal/SealFormat.h"

namespace seal {

class CTransportSession {
  public:
    CTransportSession() = default;
    ~CTransportSession();
    CTransportSession(const CTransportSession&) = delete;
    CTransportSession& operator=(const CTransportSession&) = delete;

    void Establish(const CCipherState& send, const CCipherState& receive, std::uint32_t localIndex,
                   std::uint32_t remoteIndex, bool weInitiated, std::uint64_t startNs,
                   std::uint64_t serial);
    void Clear();        // no session: keys zeroed, window reset
    void DropSendKey();  // kept for receiving only (a previous session)

    bool IsValid() const { return m_valid; }
    bool CanSend() const { return m_canSend; }
    std::uint32_t LocalIndex() const { return m_localIndex; }
    std::uint32_t RemoteIndex() const { return m_remoteIndex; }
    bool WeInitiated() const { return m_weInitiated; }
    std::uint64_t StartNs() const { return m_startNs; }
    std::uint64_t Serial() const { return m_serial; }  // tells sessions with equal indices apart
    std::uint64_t SendCounter() const { return m_sendCounter; }
    std::uint64_t TakeSendCounter() { return m_sendCounter++; }
    const std::uint8_t* SendKey() const { return m_sendKey; }
    const std::uint8_t* ReceiveKey() const { return m_receiveKey; }
    CReplayWindow& Window() { return m_window; }

  private:
    std::uint8_t m_sendKey[kKeySize] = {};
    std::uint8_t m_receiveKey[kKeySize] = {};
    CReplayWindow m_window;
    std::uint64_t m_sendCounter = 0;
    std::uint64_t m_startNs = 0;
    std::uint64_t m_serial = 0;
    std::uint32_t m_localIndex = 0;
    std::uint32_t m_remoteIndex = 0;
    bool m_weInitiated = false;
    bool m_valid = false;
    bool m_canSend = false;
};

}  // namespace seal
