#include "engine/arp/ArpFrames.h"

#include <netinet/in.h>

#include <cstring>
#include <initializer_list>

#include "engine/wire/WireFormat.h"

namespace {

// Hardware type, protocol type, lengths and opcode of IPv4-over-Ethernet ARP, bytes 14 to 21.
constexpr std::uint8_t kRequestHeader[8] = {0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
constexpr std::uint8_t kReplyHeader[8] = {0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x02};
constexpr int kArpHeader = wire::kEthernetHeaderSize;  // ARP follows the Ethernet header

}  // namespace

void CArpFrames::BuildRequestTemplate(std::uint8_t* request) {
    std::memset(request, 0, kFrameLength);
    std::memset(request + kEthernetDestination, 0xFF, 6);
    request[12] = 0x08;
    request[13] = 0x06;
    std::memcpy(request + kArpHeader, kRequestHeader, sizeof kRequestHeader);
}

void CArpFrames::BuildReplyTemplate(const std::uint8_t* request, std::uint8_t* reply) {
    std::memcpy(reply, request, kFrameLength);
    reply[kOpcode] = 0x00;
    reply[kOpcode + 1] = 0x02;
}

void CArpFrames::SetVirtualRouter(std::uint8_t* request, std::uint8_t* reply, std::uint32_t address,
                                  const std::uint8_t* mac) {
    for (std::uint8_t* frame : {request, reply}) {
        std::memcpy(frame + kSenderAddress, &address, 4);
        std::memcpy(frame + kEthernetSource, mac, 6);
        std::memcpy(frame + kSenderMac, mac, 6);
    }
}

bool CArpFrames::IsReply(const std::uint8_t* frame, std::uint32_t capturedLength) {
    return capturedLength >= static_cast<std::uint32_t>(kFrameLength) &&
           std::memcmp(frame + kArpHeader, kReplyHeader, sizeof kReplyHeader) == 0;
}

bool CArpFrames::SenderOf(const std::uint8_t* frame, std::uint32_t capturedLength,
                          std::uint32_t* address, std::uint8_t* mac) {
    if (capturedLength < static_cast<std::uint32_t>(kFrameLength)) return false;
    // Bytes 14 to 20 are common to requests and replies; byte 21 is the low byte of the opcode.
    if (std::memcmp(frame + kArpHeader, kRequestHeader, sizeof kRequestHeader - 1) != 0 ||
        (frame[kOpcode + 1] != 0x01 && frame[kOpcode + 1] != 0x02)) {
        return false;
    }
    *address = AddressAt(frame, kSenderAddress);
    std::memcpy(mac, frame + kSenderMac, 6);
    return true;
}

bool CArpFrames::ShouldAnswer(const std::uint8_t* frame, std::uint32_t capturedLength,
                              const std::uint8_t* reply, bool respond) {
    return capturedLength >= static_cast<std::uint32_t>(kFrameLength) &&
           std::memcmp(frame + kArpHeader, kRequestHeader, sizeof kRequestHeader) == 0 &&
           std::memcmp(frame + kTargetAddress, reply + kSenderAddress, 4) == 0 && respond;
}

void CArpFrames::FillReply(std::uint8_t* reply, const std::uint8_t* request) {
    std::memcpy(reply + kEthernetDestination, request + kEthernetSource, 6);
    std::memcpy(reply + kTargetMac, request + kEthernetSource, 6);
    std::memcpy(reply + kTargetAddress, request + kSenderAddress, 4);
}

void CArpFrames::SetRequestTarget(std::uint8_t* request, std::uint32_t address) {
    std::memcpy(request + kTargetAddress, &address, 4);
}

std::uint32_t CArpFrames::AddressAt(const std::uint8_t* frame, int offset) {
    std::uint32_t address;
    std::memcpy(&address, frame + offset, 4);
    return address;
}
