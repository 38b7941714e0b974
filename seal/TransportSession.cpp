#include "seal/TransportSession.h"

#include <sodium.h>

#include <cstring>

namespace seal {

CTransportSession::~CTransportSession() {
    Clear();
}

void CTransportSession::Establish(const CCipherState& send, const CCipherState& receive,
                                  std::uint32_t localIndex, std::uint32_t remoteIndex,
                                  bool weInitiated, std::uint64_t startNs, std::uint64_t serial) {
    std::memcpy(m_sendKey, send.Key(), sizeof m_sendKey);
    std::memcpy(m_receiveKey, receive.Key(), sizeof m_receiveKey);
    m_window.Reset();
    m_sendCounter = 0;
    m_localIndex = localIndex;
    m_remoteIndex = remoteIndex;
    m_weInitiated = weInitiated;
    m_startNs = startNs;
    m_serial = serial;
    m_valid = true;
    m_canSend = true;
}

void CTransportSession::Clear() {
    sodium_memzero(m_sendKey, sizeof m_sendKey);
    sodium_memzero(m_receiveKey, sizeof m_receiveKey);
    m_window.Reset();
    m_sendCounter = 0;
    m_valid = false;
    m_canSend = false;
}

void CTransportSession::DropSendKey() {
    sodium_memzero(m_sendKey, sizeof m_sendKey);
    m_canSend = false;
}

}  // namespace seal
