// The ARP agent's decisions without any I/O: the two 42-byte templates, the answer rule and who
// sent a request or reply (what the neighbour table learns from). Static functions on
// caller-owned bytes; the caller (CArpAgent) decides which thread and which lock covers each
// buffer. Tests and fuzzers call them directly.
//
// An ARP frame for IPv4 over Ethernet, 42 bytes, multi-byte values in network order:
//
//   0      6      12   14   16   18 19 20   22     28     32     38     42
//   +------+------+----+----+----+--+--+----+------+------+------+------+
//   | dst  | src  |0806|0001|0800|06|04| op | sha  | spa  | tha  | tpa  |
//   +------+------+----+----+----+--+--+----+------+------+------+------+
//
// Bytes 14 to 21 (hardware type to opcode) alone say what a frame is; the EtherType and the
// Ethernet destination are not examined. A frame shorter than 42 bytes is neither answered nor
// learned from.
#pragma once

#include <cstdint>

class CArpFrames {
  public:
    static constexpr int kFrameLength = 42;
    static constexpr int kEthernetDestination = 0;
    static constexpr int kEthernetSource = 6;
    static constexpr int kOpcode = 20;
    static constexpr int kSenderMac = 22;
    static constexpr int kSenderAddress = 28;
    static constexpr int kTargetMac = 32;
    static constexpr int kTargetAddress = 38;

    // The request template with zero virtual MAC, virtual address and target.
    static void BuildRequestTemplate(std::uint8_t* request);
    // A copy of `request` with opcode 00 02.
    static void BuildReplyTemplate(const std::uint8_t* request, std::uint8_t* reply);

    // Writes the virtual address (network order) and MAC into both templates: Ethernet source,
    // sender hardware address and sender protocol address.
    static void SetVirtualRouter(std::uint8_t* request, std::uint8_t* reply, std::uint32_t address,
                                 const std::uint8_t* mac);

    // Bytes 14 to 21 are 00 01 08 00 06 04 00 02, in a frame of at least 42 captured bytes.
    static bool IsReply(const std::uint8_t* frame, std::uint32_t capturedLength);
    // The sender of an IPv4-over-Ethernet ARP request or reply (opcode 00 01 or 00 02), in a
    // frame of at least 42 captured bytes: its protocol address (network order) and hardware
    // address. What the neighbour table learns from; the table judges the values.
    static bool SenderOf(const std::uint8_t* frame, std::uint32_t capturedLength,
                         std::uint32_t* address, std::uint8_t* mac);
    // The answer rule: an IPv4-over-Ethernet request (opcode 00 01) whose target protocol address
    // equals the reply template's sender protocol address, while answering is on.
    static bool ShouldAnswer(const std::uint8_t* frame, std::uint32_t capturedLength,
                             const std::uint8_t* reply, bool respond);
    // Addresses the reply template to the requester: its Ethernet source becomes the reply's
    // Ethernet destination and target hardware address, its sender protocol address the reply's
    // target protocol address.
    static void FillReply(std::uint8_t* reply, const std::uint8_t* request);
    static void SetRequestTarget(std::uint8_t* request, std::uint32_t address);

    // Network order: the four bytes at `offset` taken as one word, first byte first in memory.
    static std::uint32_t AddressAt(const std::uint8_t* frame, int offset);
};
