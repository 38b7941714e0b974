// Packets and records for the tunnel's unit tests: bytes that tell where they came from, and the
// record a sender puts on the stream.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/wire/WireFormat.h"

namespace wiretest {

using Bytes = std::vector<std::uint8_t>;

// A packet whose every byte tells where it came from.
inline Bytes MakePacket(int length, std::uint8_t seed = 0) {
    Bytes packet(static_cast<std::size_t>(length));
    for (int i = 0; i < length; ++i) packet[i] = static_cast<std::uint8_t>(i * 7 + i / 251 + seed);
    return packet;
}

// The record a sender puts on the stream: 4 length bytes, least significant first, then the packet.
inline Bytes MakeRecord(const Bytes& packet) {
    Bytes record(4 + packet.size());
    wire::PutRecordLength(record.data(), static_cast<std::uint32_t>(packet.size()));
    std::memcpy(record.data() + 4, packet.data(), packet.size());
    return record;
}

}  // namespace wiretest
