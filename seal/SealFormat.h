// The bytes of the sealed tunnel: three message types and the stream framing, in one place.
// docs/sealed-tunnel.md explains them; every multi-byte integer is little-endian.
//
// Handshake initiation, 64 bytes (Noise message 1: "psk, e" and an encrypted payload):
//   0      1   type 1
//   1      3   zero
//   4     32   initiator's ephemeral X25519 public key (clear)
//   36    28   payload, sealed: sender index (4), timestamp ns (8), tag (16)
// Handshake response, 60 bytes (Noise message 2: "e, ee" and an encrypted payload):
//   0      1   type 2
//   1      3   zero
//   4      4   receiver index: the initiator's sender index (clear)
//   8     32   responder's ephemeral public key (clear)
//   40    20   payload, sealed: sender index (4), tag (16)
// Data message, 32 + n bytes:
//   0      1   type 3
//   1      3   zero
//   4      4   receiver index: the index the receiving end chose for the session
//   8      8   counter: the ChaCha20-Poly1305 nonce is 4 zero bytes and these 8
//   16     n   ciphertext of the n-byte plaintext (a UDP fragment, or a TCP record's packet)
//   16+n  16   tag over bytes 0-15 (associated data) and the ciphertext
// Stream frame (TCP): a 4-byte header, then one message.
//   0      3   message length
//   3      1   0xA5: marks a sealed frame. A receiver without a key reads the header as a
//              record length of at least 0xA5000000, a bad length, and closes the connection.
// The type bytes 1-3 read, to a receiver without a key, as fragment indices 1-3 without the
// last-fragment bit, so such a receiver never starts a packet from a sealed datagram.
// Pure code: no sockets, no allocation.
#pragma once

#include <cstdint>

namespace seal {

constexpr std::uint8_t kTypeInitiation = 1;
constexpr std::uint8_t kTypeResponse = 2;
constexpr std::uint8_t kTypeData = 3;

constexpr int kKeySize = 32;        // ChaCha20-Poly1305 key, pre-shared key
constexpr int kPublicKeySize = 32;  // X25519
constexpr int kTagSize = 16;        // Poly1305
constexpr int kHashSize = 64;       // BLAKE2b

constexpr int kInitiationPayload = 4 + 8;  // sender index, timestamp
constexpr int kInitiationSize = 4 + kPublicKeySize + kInitiationPayload + kTagSize;  // 64
constexpr int kResponsePayload = 4;                                                  // sender index
constexpr int kResponseSize = 4 + 4 + kPublicKeySize + kResponsePayload + kTagSize;  // 60

constexpr int kDataHeaderSize = 16;                         // type .. counter: the associated data
constexpr int kDataOverhead = kDataHeaderSize + kTagSize;   // 32
constexpr int kMaxPlaintext = 65535;                        // longest plaintext a message carries
constexpr int kMaxMessage = kDataOverhead + kMaxPlaintext;  // 65567

constexpr int kStreamHeaderSize = 4;
constexpr std::uint8_t kStreamMarker = 0xA5;
constexpr int kMinMessage = kDataOverhead;  // the shortest message: data with no plaintext
constexpr int kMaxFrame = kStreamHeaderSize + kMaxMessage;

// What UDP mode puts in one datagram at most: a 1401-byte fragment (header byte and 1400
// payload bytes) sealed, within the 1472 bytes of UDP payload that a 1500-byte path carries.
constexpr int kLargestFragment = 1401;
constexpr int kLargestSealedDatagram = kDataOverhead + kLargestFragment;  // 1433
static_assert(kLargestSealedDatagram <= 1472, "a sealed fragment must fit a 1500-byte path");

inline void PutLe32(std::uint8_t* at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void PutLe64(std::uint8_t* at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint32_t GetLe32(const std::uint8_t* at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | at[i];
    return v;
}
inline std::uint64_t GetLe64(const std::uint8_t* at) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | at[i];
    return v;
}

// The 4-byte stream frame header for a message of `messageLength` bytes.
inline void PutStreamHeader(std::uint8_t* at, int messageLength) {
    PutLe32(at, static_cast<std::uint32_t>(messageLength) |
                    static_cast<std::uint32_t>(kStreamMarker) << 24);
}

// The message length a stream frame's 4-byte header gives, or -1 when it is not a sealed
// frame's header (no marker, or a length no message has).
inline int StreamMessageLength(const std::uint8_t* header) {
    const std::uint32_t word = GetLe32(header);
    const int length = static_cast<int>(word & 0xFFFFFF);
    if (word >> 24 != kStreamMarker || length < kMinMessage || length > kMaxMessage) return -1;
    return length;
}

}  // namespace seal
