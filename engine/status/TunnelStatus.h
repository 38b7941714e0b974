// One tunnel end's status at one moment, as plain values: what the status socket answers and
// vantrellctl prints. Filled on the owner's thread (CTunnelEngine::FillStatus plus the owner's
// own words: site, status sentence), then copied whole; nothing in it points into the engine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct NeighbourStatus {
    std::uint32_t address = 0;              // host order
    std::uint8_t mac[6] = {};               // zero without one
    const char* state = "";                 // "incomplete", "reachable", "probe", "failed"
    std::int64_t confirmedSecondsAgo = -1;  // -1: never confirmed
};

struct TunnelStatus {
    // The owner's.
    std::string site;
    std::string sentence;  // the status line
    // The engine's.
    bool running = false;
    const char* mode = "udp";  // "udp", "tcp_listener", "tcp_initiator"
    bool sealed = false;
    std::uint32_t peerAddress = 0;  // host order
    int peerPort = 0;
    int listenPort = 0;
    std::string card;
    const char* cardState = "up";  // "up", "lost", "no_privileges", "no_such_card", "down", ...
    std::int64_t uptimeSeconds = 0;
    // Since Start; tx is LAN to tunnel, rx tunnel to LAN.
    std::uint64_t txPackets = 0, txBytes = 0, rxPackets = 0, rxBytes = 0;
    // Dropped packets by reason, in the order of kDropReasons.
    static constexpr int kReasons = 9;
    std::uint64_t dropped[kReasons] = {};
    std::vector<NeighbourStatus> neighbours;
    // Sealed only.
    std::int64_t handshakeSecondsAgo = -1;  // -1: none yet
    std::uint64_t rekeys = 0;
};

// The drop reasons' names, as the protocol and the metrics spell them.
inline constexpr const char* kDropReasons[TunnelStatus::kReasons] = {
    "outside_subnets",      "injector_refused", "no_arp_answer",
    "neighbour_queue_full", "capture_overflow", "bad_fragment",
    "bad_record_length",    "auth_failed",      "replayed",
};
enum DropReason {
    kDropOutsideSubnets,
    kDropInjectorRefused,
    kDropNoArpAnswer,
    kDropNeighbourQueueFull,
    kDropCaptureOverflow,
    kDropBadFragment,
    kDropBadRecordLength,
    kDropAuthFailed,
    kDropReplayed,
};
