// How the tunnel carries packets between the two ends: its transport (one TCP connection, or
// UDP datagrams) and whether every message on it is sealed. A plain value: the engine derives it
// from the settings at Start and hands it to both packet workers before Launch, which only read
// it afterwards.
#pragma once

namespace wire {

enum class TunnelMode { kUdp, kTcp, kSealedUdp, kSealedTcp };

constexpr TunnelMode MakeTunnelMode(bool tcp, bool sealed) {
    return tcp ? (sealed ? TunnelMode::kSealedTcp : TunnelMode::kTcp)
               : (sealed ? TunnelMode::kSealedUdp : TunnelMode::kUdp);
}
constexpr bool IsTcp(TunnelMode mode) {
    return mode == TunnelMode::kTcp || mode == TunnelMode::kSealedTcp;
}
constexpr bool IsSealed(TunnelMode mode) {
    return mode == TunnelMode::kSealedUdp || mode == TunnelMode::kSealedTcp;
}

}  // namespace wire
