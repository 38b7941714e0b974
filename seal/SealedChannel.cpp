#include "seal/SealedChannel.h"

#include <sodium.h>

#include <cstring>

namespace seal {

namespace {

// A copy of a session key on the stack for one AEAD call outside the lock; zeroed when it goes.
struct KeyCopy {
    std::uint8_t bytes[kKeySize] = {};
    KeyCopy() = default;
    void Set(const std::uint8_t* key) { std::memcpy(bytes, key, sizeof bytes); }
    ~KeyCopy() { sodium_memzero(bytes, sizeof bytes); }
    KeyCopy(const KeyCopy&) = delete;
    KeyCopy& operator=(const KeyCopy&) = delete;
};

bool ReservedZero(const std::uint8_t* message) {
    return message[1] == 0 && message[2] == 0 && message[3] == 0;
}

void PutDataHeader(std::uint8_t* at, std::uint32_t receiverIndex, std::uint64_t counter) {
    at[0] = kTypeData;
    at[1] = at[2] = at[3] = 0;
    PutLe32(at + 4, receiverIndex);
    PutLe64(at + 8, counter);
}

}  // namespace

CSealedChannel::CSealedChannel(const CTunnelKey& key, Mode mode, const CSealClock& clock,
                               const Timings& timings)
    : m_key(key), m_mode(mode), m_clock(clock), m_timings(timings) {
    // Picks libsodium's implementations for this processor; harmless when done before. Should it
    // fail, no handshake is ever started or answered, so nothing is ever sealed.
    m_ready = sodium_init() >= 0;
    m_connectionStartNs = m_clock.MonotonicNs();
}

CSealedChannel::~CSealedChannel() = default;

int CSealedChannel::PayloadOffset() const {
    return FrameOffset() + kDataHeaderSize;
}

bool CSealedChannel::UsableForSending(const CTransportSession& session, std::uint64_t now) const {
    return session.CanSend() && now - session.StartNs() < m_timings.rejectAfterNs &&
           session.SendCounter() < m_timings.rejectAfterMessages;
}

bool CSealedChannel::HandshakeDueLocked(std::uint64_t now) const {
    if (!m_ready) return false;
    // On a TCP connection the listening end waits for the connecting end's first handshake.
    if (m_mode == Mode::kStream && !m_connectionInitiator && !m_establishedOnConnection) {
        return false;
    }
    if (m_hasPending && now - m_pendingSinceNs < m_timings.retryAfterNs) return false;
    // A response of ours is on its way: give the peer time to confirm it.
    if (m_next->IsValid() && now - m_next->StartNs() < m_timings.retryAfterNs) return false;
    const CTransportSession& current = *m_current;
    if (!UsableForSending(current, now)) return true;
    std::uint64_t age = now - current.StartNs();
    std::uint64_t rekeyAt =
        current.WeInitiated() ? m_timings.rekeyAfterNs : m_timings.responderRekeyAfterNs;
    return age >= rekeyAt || current.SendCounter() >= m_timings.rekeyAfterMessages;
}

std::uint32_t CSealedChannel::NewIndexLocked() const {
    // Random, and distinct from every index this end is known by (bounded: a clash is 1 in 2^30).
    std::uint32_t index = 0;
    for (int attempt = 0; attempt < 16; ++attempt) {
        index = randombytes_random();
        bool taken = (m_hasPending && index == m_pendingIndex);
        for (const CTransportSession& session : m_sessions) {
            taken = taken || (session.IsValid() && session.LocalIndex() == index);
        }
        if (!taken) break;
    }
    return index;
}

int CSealedChannel::StartInitiationLocked(std::uint64_t now, std::uint8_t* out) {
    m_pending = CHandshakeState(CHandshakeState::Role::kInitiator, m_key.Bytes(), kPrologue,
                                sizeof kPrologue - 1);
    m_pendingIndex = NewIndexLocked();
    std::uint64_t timestamp = m_clock.WallNs();
    if (timestamp <= m_lastTimestampSent) timestamp = m_lastTimestampSent + 1;

    std::uint8_t payload[kInitiationPayload];
    PutLe32(payload, m_pendingIndex);
    PutLe64(payload + 4, timestamp);
    std::uint8_t* message = out + FrameOffset();
    message[0] = kTypeInitiation;
    message[1] = message[2] = message[3] = 0;
    if (!m_pending.WriteMessage(payload, sizeof payload, message + 4)) {
        m_hasPending = false;
        return 0;
    }
    m_hasPending = true;
    m_pendingSinceNs = now;
    m_lastTimestampSent = timestamp;
    if (m_mode == Mode::kStream) PutStreamHeader(out, kInitiationSize);
    return FrameOffset() + kInitiationSize;
}

CTransportSession* CSealedChannel::FindLocked(std::uint32_t localIndex) {
    for (CTransportSession* session : {m_current, m_previous, m_next}) {
        if (session->IsValid() && session->LocalIndex() == localIndex) return session;
    }
    return nullptr;
}

CTransportSession* CSealedChannel::FindSerialLocked(std::uint64_t serial) {
    for (CTransportSession& session : m_sessions) {
        if (session.IsValid() && session.Serial() == serial) return &session;
    }
    return nullptr;
}

// The peer has used `next`: it becomes current, current becomes previous (receive only), and the
// old previous is forgotten.
void CSealedChannel::PromoteNextLocked() {
    CTransportSession* spare = m_previous;
    spare->Clear();
    m_previous = m_current;
    if (m_previous->IsValid()) m_previous->DropSendKey();
    m_current = m_next;
    m_next = spare;
    m_establishedOnConnection = true;
    ++m_stats.handshakes;
    m_stats.lastHandshakeNs = m_clock.MonotonicNs();
}

void CSealedChannel::ForgetAllLocked() {
    for (CTransportSession& session : m_sessions) session.Clear();
    m_pending = CHandshakeState();
    m_hasPending = false;
}

CSealedChannel::Received CSealedChannel::DropLocked(Drop reason) {
    switch (reason) {
        case Drop::kNotSealed:
            ++m_stats.notSealed;
            break;
        case Drop::kReplay:
            ++m_stats.replays;
            break;
        case Drop::kAuthFailed:
            ++m_stats.authFailures;
            break;
        case Drop::kCrossing:
        case Drop::kNone:
            break;
        default:
            ++m_stats.malformed;
            break;
    }
    Received result;
    result.drop = reason;
    return result;
}

// ----------------------------------------------------------------------------------------------

CSealedChannel::Sealed CSealedChannel::Seal(const std::uint8_t* plaintext, int length,
                                            std::uint8_t* out, int capacity) {
    Sealed result;
    if (length < 0 || length > kMaxPlaintext || capacity < Overhead() + length) return result;
    std::uint64_t counter = 0;
    std::uint32_t receiverIndex = 0;
    KeyCopy sendKey;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::uint64_t now = m_clock.MonotonicNs();
        result.handshakeDue = HandshakeDueLocked(now);
        if (!UsableForSending(*m_current, now)) {
            ++m_stats.unsent;
            return result;
        }
        counter = m_current->TakeSendCounter();
        receiverIndex = m_current->RemoteIndex();
        sendKey.Set(m_current->SendKey());
        ++m_stats.sealed;
    }
    std::uint8_t* message = out + FrameOffset();
    PutDataHeader(message, receiverIndex, counter);
    CCipherState::Seal(sendKey.bytes, counter, message, kDataHeaderSize, plaintext,
                       static_cast<std::size_t>(length), message + kDataHeaderSize);
    if (m_mode == Mode::kStream) PutStreamHeader(out, kDataOverhead + length);
    result.length = Overhead() + length;
    return result;
}

// Seals under the lock (the handshake's confirmation, which is rare and empty).
int CSealedChannel::SealLocked(CTransportSession& session, const std::uint8_t* plaintext,
                               int length, std::uint8_t* out) {
    std::uint64_t counter = session.TakeSendCounter();
    std::uint8_t* message = out + FrameOffset();
    PutDataHeader(message, session.RemoteIndex(), counter);
    CCipherState::Seal(session.SendKey(), counter, message, kDataHeaderSize, plaintext,
                       static_cast<std::size_t>(length), message + kDataHeaderSize);
    if (m_mode == Mode::kStream) PutStreamHeader(out, kDataOverhead + length);
    ++m_stats.sealed;
    return Overhead() + length;
}

int CSealedChannel::Initiate(std::uint8_t* out, int capacity) {
    if (capacity < kHandshakeRoom) return 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    std::uint64_t now = m_clock.MonotonicNs();
    if (!HandshakeDueLocked(now)) return 0;
    return StartInitiationLocked(now, out);
}

CSealedChannel::TickResult CSealedChannel::Tick(std::uint8_t* out, int capacity) {
    TickResult result;
    std::lock_guard<std::mutex> lock(m_mutex);
    std::uint64_t now = m_clock.MonotonicNs();
    if (m_mode == Mode::kStream) {
        // When this connection last had (or, before any, began without) a usable session.
        std::uint64_t unusableSince = m_current->CanSend()
                                          ? m_current->StartNs() + m_timings.rejectAfterNs
                                          : m_connectionStartNs;
        if (now >= unusableSince && now - unusableSince >= m_timings.authTimeoutNs) {
            result.close = true;
            return result;
        }
    }
    if (capacity >= kHandshakeRoom && HandshakeDueLocked(now)) {
        result.length = StartInitiationLocked(now, out);
    }
    return result;
}

int CSealedChannel::BeginConnection(bool initiator, std::uint8_t* out, int capacity) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ForgetAllLocked();
    std::uint64_t now = m_clock.MonotonicNs();
    m_connectionInitiator = initiator;
    m_connectionStartNs = now;
    m_establishedOnConnection = false;
    if (!initiator || capacity < kHandshakeRoom) return 0;
    return StartInitiationLocked(now, out);
}

CSealedChannel::Stats CSealedChannel::GetStats() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stats;
}

CSealedChannel::SessionInfo CSealedChannel::CurrentSession() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    SessionInfo info;
    info.valid = m_current->IsValid();
    if (info.valid) {
        info.localIndex = m_current->LocalIndex();
        info.remoteIndex = m_current->RemoteIndex();
        info.weInitiated = m_current->WeInitiated();
    }
    return info;
}

bool CSealedChannel::HasUsableSession() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return UsableForSending(*m_current, m_clock.MonotonicNs());
}

// ----------------------------------------------------------------------------------------------

CSealedChannel::Received CSealedChannel::Receive(const std::uint8_t* message, int length,
                                                 std::uint8_t* out, int capacity, bool elsewhere) {
    std::uint8_t type = length > 0 ? message[0] : 0;
    switch (type) {
        case kTypeInitiation:
            return OnInitiation(message, length, out, capacity, elsewhere);
        case kTypeResponse:
            return OnResponse(message, length, out, capacity);
        case kTypeData:
            return OnData(message, length, out, capacity);
        default: {
            std::lock_guard<std::mutex> lock(m_mutex);
            return DropLocked(Drop::kNotSealed);
        }
    }
}

CSealedChannel::Received CSealedChannel::OnInitiation(const std::uint8_t* message, int length,
                                                      std::uint8_t* out, int capacity,
                                                      bool elsewhere) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (length != kInitiationSize || !ReservedZero(message)) return DropLocked(Drop::kMalformed);
    if (capacity < kHandshakeRoom) return DropLocked(Drop::kTooLong);

    // Reading message 1 costs hashing and one AEAD check, no Diffie-Hellman: a stranger without
    // the key cannot make this end do the expensive part.
    CHandshakeState handshake(CHandshakeState::Role::kResponder, m_key.Bytes(), kPrologue,
                              sizeof kPrologue - 1);
    std::uint8_t payload[kInitiationPayload];
    if (!handshake.ReadMessage(message + 4, kInitiationSize - 4, payload)) {
        return DropLocked(Drop::kAuthFailed);
    }
    std::uint32_t senderIndex = GetLe32(payload);
    std::uint64_t timestamp = GetLe64(payload + 4);
    if (timestamp <= m_newestTimestampSeen) return DropLocked(Drop::kReplay);
    m_newestTimestampSeen = timestamp;

    std::uint64_t now = m_clock.MonotonicNs();
    if (m_hasPending) {
        int order = std::memcmp(m_pending.EphemeralPublic(), message + 4, kPublicKeySize);
        // This end's own initiation sent back to it: both ends hold the same key, so it reads.
        if (order == 0) return DropLocked(Drop::kReplay);
        // Crossing handshakes: the greater ephemeral public key wins on both ends. Not when this
        // end's went where the other end is not (behind a NAT that gave it another port).
        if (!elsewhere && order > 0 && now - m_pendingSinceNs < m_timings.retryAfterNs) {
            return DropLocked(Drop::kCrossing);
        }
    }
    m_pending = CHandshakeState();
    m_hasPending = false;

    std::uint32_t localIndex = NewIndexLocked();
    std::uint8_t responsePayload[kResponsePayload];
    PutLe32(responsePayload, localIndex);
    std::uint8_t* response = out + FrameOffset();
    response[0] = kTypeResponse;
    response[1] = response[2] = response[3] = 0;
    PutLe32(response + 4, senderIndex);
    if (!handshake.WriteMessage(responsePayload, sizeof responsePayload, response + 8)) {
        return DropLocked(Drop::kMalformed);  // the peer's ephemeral is a low-order point
    }
    CCipherState initiatorToResponder, responderToInitiator;
    handshake.Split(initiatorToResponder, responderToInitiator);
    m_next->Clear();
    m_next->Establish(responderToInitiator, initiatorToResponder, localIndex, senderIndex, false,
                      now, ++m_serial);
    if (m_mode == Mode::kStream) PutStreamHeader(out, kResponseSize);
    Received result;
    result.kind = Received::Kind::kReply;
    result.length = FrameOffset() + kResponseSize;
    return result;
}

CSealedChannel::Received CSealedChannel::OnResponse(const std::uint8_t* message, int length,
                                                    std::uint8_t* out, int capacity) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (length != kResponseSize || !ReservedZero(message)) return DropLocked(Drop::kMalformed);
    if (capacity < kHandshakeRoom) return DropLocked(Drop::kTooLong);
    if (!m_hasPending || GetLe32(message + 4) != m_pendingIndex) {
        return DropLocked(Drop::kUnknownSession);
    }
    // Read on a copy: a forged or damaged response leaves the real one its chance.
    CHandshakeState handshake = m_pending;
    std::uint8_t payload[kResponsePayload];
    if (!handshake.ReadMessage(message + 8, kResponseSize - 8, payload)) {
        return DropLocked(Drop::kAuthFailed);
    }
    CCipherState initiatorToResponder, responderToInitiator;
    handshake.Split(initiatorToResponder, responderToInitiator);

    std::uint64_t now = m_clock.MonotonicNs();
    CTransportSession* fresh = m_previous;
    fresh->Clear();
    fresh->Establish(initiatorToResponder, responderToInitiator, m_pendingIndex, GetLe32(payload),
                     true, now, ++m_serial);
    m_previous = m_current;
    if (m_previous->IsValid()) m_previous->DropSendKey();
    m_current = fresh;
    m_next->Clear();  // an unconfirmed session of an older handshake is superseded
    m_pending = CHandshakeState();
    m_hasPending = false;
    m_establishedOnConnection = true;
    ++m_stats.handshakes;
    m_stats.lastHandshakeNs = m_clock.MonotonicNs();

    // Confirm at once with an empty data message, so the peer may use the session.
    Received result;
    result.kind = Received::Kind::kReply;
    result.length = SealLocked(*m_current, nullptr, 0, out);
    return result;
}

CSealedChannel::Received CSealedChannel::OnData(const std::uint8_t* message, int length,
                                                std::uint8_t* out, int capacity) {
    if (length < kDataOverhead) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return DropLocked(Drop::kMalformed);
    }
    int plaintextLength = length - kDataOverhead;
    std::uint32_t localIndex = GetLe32(message + 4);
    std::uint64_t counter = GetLe64(message + 8);
    std::uint64_t serial = 0;
    KeyCopy receiveKey;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (plaintextLength > capacity) return DropLocked(Drop::kTooLong);
        CTransportSession* session = FindLocked(localIndex);
        if (session == nullptr) return DropLocked(Drop::kUnknownSession);
        std::uint64_t now = m_clock.MonotonicNs();
        if (now - session->StartNs() >= m_timings.rejectAfterNs ||
            counter >= m_timings.rejectAfterMessages) {
            return DropLocked(Drop::kExpired);
        }
        if (!session->Window().Check(counter)) return DropLocked(Drop::kReplay);
        serial = session->Serial();
        receiveKey.Set(session->ReceiveKey());
    }
    bool authentic = CCipherState::Open(receiveKey.bytes, counter, message, kDataHeaderSize,
                                        message + kDataHeaderSize,
                                        static_cast<std::size_t>(length - kDataHeaderSize), out);

    std::lock_guard<std::mutex> lock(m_mutex);
    if (!authentic) return DropLocked(Drop::kAuthFailed);
    // The session may have moved between slots, or gone, while the lock was free.
    CTransportSession* session = FindSerialLocked(serial);
    if (session == nullptr) return DropLocked(Drop::kExpired);
    if (!session->Window().Update(counter)) return DropLocked(Drop::kReplay);
    if (session == m_next) PromoteNextLocked();
    ++m_stats.opened;
    Received result;
    result.kind = Received::Kind::kData;
    result.length = plaintextLength;
    return result;
}

}  // namespace seal
