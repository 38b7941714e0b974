// One end of a sealed tunnel: makes and answers Noise NNpsk0 handshakes with the shared key,
// keeps the sessions they yield, seals plaintexts into data messages and opens data messages
// into plaintexts, drops whatever fails authentication or replays, and decides when to rekey and,
// on a TCP connection, when to give up on a peer that does not authenticate. Pure: it reads a
// clock and writes into the caller's buffers; the caller sends and receives.
//
// Sessions: `current` seals and opens; `previous` (the one current before) only opens, so that
// messages sealed before a rekey and still in flight arrive; `next` is a session this end
// answered a handshake for and will use once the peer's first data message on it confirms it.
//
//         initiation sent                 response opened (this end initiated)
//  (none) ---------------> [pending] -----------------------------------------+
//    |                        |  lost the tie-break to a crossing initiation   |
//    | initiation opened      v  (abandoned; that one is answered instead)     v
//    +-------------------> [next] --- first data message on it ---> [current] --> [previous]
//       (response sent)                                          (the old current, receive only)
//
// Every session stops sealing and opening `rejectAfter` after it began; its initiator starts the
// next handshake at `rekeyAfter` (the other end at `responderRekeyAfter`) or after
// `rekeyAfterMessages` messages, so a new one is in place before the old one is refused.
// Two initiations that cross: the one whose ephemeral public key is greater (as bytes) wins; the
// end whose own initiation loses abandons it and answers the other, so both settle on one
// session.
//
// Modes: kDatagram (UDP: every datagram one message; either end starts a handshake) and kStream
// (TCP: BeginConnection per connection, only the connecting end starts the first handshake,
// every output carries the 4-byte frame header; inputs are messages without it, as the stream
// reader delivers them).
//
// Threads: every call may come from any thread (the forwarder seals, the injector receives, the
// link ticks and seals keep-alives). One mutex guards all state; the AEAD work of Seal and of
// opening a data message runs outside it on a copy of the key, so sealing and opening overlap.
// Nothing allocates after construction. The owner creates the channel at Start with the key and
// destroys it after every thread using it has been joined.
#pragma once

#include <cstdint>
#include <mutex>

#include "seal/HandshakeState.h"
#include "seal/SealClock.h"
#include "seal/SealFormat.h"
#include "seal/TransportSession.h"
#include "seal/TunnelKey.h"

namespace seal {

// How long sessions and handshakes last; the defaults are the tunnel's, tests shorten them.
struct SealTimings {
    std::uint64_t rekeyAfterNs = 100'000'000'000;           // 100 s
    std::uint64_t responderRekeyAfterNs = 110'000'000'000;  // 110 s
    std::uint64_t rejectAfterNs = 120'000'000'000;          // 120 s: never a session older
    std::uint64_t retryAfterNs = 5'000'000'000;             // an unanswered handshake is given up
    std::uint64_t authTimeoutNs = 5'000'000'000;  // stream: without a usable session, close
    std::uint64_t rekeyAfterMessages = std::uint64_t{1} << 60;
    // Below 2^64 - 1, which Noise reserves, with room for messages sealed meanwhile.
    std::uint64_t rejectAfterMessages = ~std::uint64_t{0} - (std::uint64_t{1} << 13);
    // Datagrams: a keep-alive after this long without sending anything, so that a NAT on the
    // way keeps its mapping (Linux forgets an unreplied one after 30 s).
    std::uint64_t keepAliveAfterNs = 25'000'000'000;
};

class CSealedChannel {
  public:
    enum class Mode { kDatagram, kStream };

    using Timings = SealTimings;

    enum class Drop {
        kNone,
        kNotSealed,       // the first byte is no message type of ours (a peer without a key?)
        kMalformed,       // wrong length or reserved bytes for its type
        kUnknownSession,  // no session or pending handshake has the receiver index
        kExpired,         // the session is past rejectAfter or its counter past the limit
        kReplay,          // a counter already accepted or too old; an initiation not newer than
                          // the last one accepted, or this end's own initiation sent back
        kAuthFailed,      // authentication failed: wrong key, or changed on the way
        kTooLong,         // does not fit the caller's buffer
        kCrossing,        // an initiation that lost the tie-break to this end's own
    };

    struct Received {
        enum class Kind {
            kDropped,  // nothing to do (the reason in `drop`); nothing at `out` is plaintext
            kData,     // `length` authenticated plaintext bytes at `out`; 0 is a keep-alive
            kReply,    // send the `length` bytes at `out` to the peer (a handshake response or
                       // the confirmation that completes one)
        };
        Kind kind = Kind::kDropped;
        int length = 0;
        Drop drop = Drop::kNone;
    };

    struct Sealed {
        int length = 0;             // bytes at `out` to send; 0: not sealed, the plaintext is lost
        bool handshakeDue = false;  // call Initiate and send what it writes
    };

    struct TickResult {
        int length = 0;      // a handshake initiation at `out` to send now
        bool close = false;  // stream: no usable session for too long; close the connection
    };

    struct Stats {
        std::uint64_t sealed = 0;           // data messages sealed
        std::uint64_t opened = 0;           // data messages accepted
        std::uint64_t unsent = 0;           // plaintexts not sealed for want of a session
        std::uint64_t notSealed = 0;        // Drop::kNotSealed
        std::uint64_t malformed = 0;        // kMalformed, kUnknownSession, kExpired, kTooLong
        std::uint64_t replays = 0;          // kReplay
        std::uint64_t authFailures = 0;     // kAuthFailed
        std::uint64_t handshakes = 0;       // sessions that became current
        std::uint64_t lastHandshakeNs = 0;  // the clock's time when the last one did; 0: none
    };

    struct SessionInfo {
        bool valid = false;
        std::uint32_t localIndex = 0;   // the index the peer puts in messages to this end
        std::uint32_t remoteIndex = 0;  // the index this end puts in messages to the peer
        bool weInitiated = false;
    };

    // Room every output buffer of a handshake reply or Initiate needs, in either mode.
    static constexpr int kHandshakeRoom = kStreamHeaderSize + kInitiationSize;

    // `key` is copied; `clock` (not owned) must outlive the channel.
    CSealedChannel(const CTunnelKey& key, Mode mode, const CSealClock& clock = CSealClock::System(),
                   const Timings& timings = Timings());
    ~CSealedChannel();
    CSealedChannel(const CSealedChannel&) = delete;
    CSealedChannel& operator=(const CSealedChannel&) = delete;

    Mode GetMode() const { return m_mode; }
    // Where Seal puts the ciphertext in `out` (16, or 20 with the frame header): a plaintext
    // placed there beforehand is sealed in place.
    int PayloadOffset() const;
    // Bytes a sealed message adds to its plaintext: 32, or 36 with the frame header.
    int Overhead() const { return PayloadOffset() + kTagSize; }

    // Seals `length` (0 .. kMaxPlaintext) bytes into `out` (capacity bytes) as one data message
    // on the current session. `plaintext` either does not overlap `out` or is
    // out + PayloadOffset(). Without a usable session nothing is sealed.
    Sealed Seal(const std::uint8_t* plaintext, int length, std::uint8_t* out, int capacity);
    // Writes a handshake initiation into `out` when one is due now (no usable session, a rekey
    // due, no handshake of this end's in flight younger than retryAfter), else returns 0.
    int Initiate(std::uint8_t* out, int capacity);
    // One message from the peer (a datagram, or a frame's message). `out` receives the plaintext
    // or the reply: it either does not overlap `message` or is message + kDataHeaderSize, and
    // needs the plaintext's length or kHandshakeRoom bytes. `elsewhere` (datagrams): the message
    // comes from another address or port than this end sends to, so this end's own pending
    // initiation cannot have reached the sender and a crossing initiation is answered anyway.
    Received Receive(const std::uint8_t* message, int length, std::uint8_t* out, int capacity,
                     bool elsewhere = false);
    // Called about once a second (any period up to a second will do). Stream mode: says when to
    // close a connection that has had no usable session for authTimeout. Both modes: starts the
    // handshake that keeps a session ready (the first one, a rekey, a retry).
    TickResult Tick(std::uint8_t* out, int capacity);

    // Stream mode, on every new connection: forgets every session and handshake, and on the
    // connecting end (`initiator`) writes the first handshake initiation into `out` (returns
    // its length; 0 on the listening end).
    int BeginConnection(bool initiator, std::uint8_t* out, int capacity);

    Stats GetStats() const;
    SessionInfo CurrentSession() const;
    // True while the current session may seal (established, not too old, counter below the
    // limit).
    bool HasUsableSession() const;

  private:
    static constexpr std::uint8_t kPrologue[] = "vantrell sealed tunnel 1";

    int FrameOffset() const { return m_mode == Mode::kStream ? kStreamHeaderSize : 0; }
    bool UsableForSending(const CTransportSession& session, std::uint64_t now) const;
    bool HandshakeDueLocked(std::uint64_t now) const;
    int StartInitiationLocked(std::uint64_t now, std::uint8_t* out);
    std::uint32_t NewIndexLocked() const;
    CTransportSession* FindLocked(std::uint32_t localIndex);
    CTransportSession* FindSerialLocked(std::uint64_t serial);
    void PromoteNextLocked();
    void ForgetAllLocked();
    int SealLocked(CTransportSession& session, const std::uint8_t* plaintext, int length,
                   std::uint8_t* out);

    Received OnInitiation(const std::uint8_t* message, int length, std::uint8_t* out, int capacity,
                          bool elsewhere);
    Received OnResponse(const std::uint8_t* message, int length, std::uint8_t* out, int capacity);
    Received OnData(const std::uint8_t* message, int length, std::uint8_t* out, int capacity);
    Received DropLocked(Drop reason);

    // Set at construction, read-only afterwards: no lock needed.
    const CTunnelKey m_key;
    const Mode m_mode;
    const CSealClock& m_clock;  // not owned
    const Timings m_timings;

    // Everything below: guarded by m_mutex, which is held for short steps only (never across a
    // call that blocks; the longest is the X25519 work of writing one handshake message).
    mutable std::mutex m_mutex;
    CTransportSession m_sessions[3];
    CTransportSession* m_current = &m_sessions[0];
    CTransportSession* m_previous = &m_sessions[1];
    CTransportSession* m_next = &m_sessions[2];
    std::uint64_t m_serial = 0;  // numbers sessions as they are established

    CHandshakeState m_pending;  // this end's initiation awaiting its response
    bool m_hasPending = false;
    std::uint32_t m_pendingIndex = 0;
    std::uint64_t m_pendingSinceNs = 0;

    std::uint64_t m_lastTimestampSent = 0;  // initiation timestamps strictly increase
    std::uint64_t m_newestTimestampSeen = 0;

    bool m_connectionInitiator = false;  // stream mode
    std::uint64_t m_connectionStartNs = 0;
    bool m_establishedOnConnection = false;

    Stats m_stats;
    bool m_ready = false;  // the library initialised; set at construction
};

}  // namespace seal
