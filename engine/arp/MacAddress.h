// The virtual router's MAC address, read once from its settings text and checked, so that the ARP
// answers and the forwarder's capture filter use the same six bytes (the filter text is made from
// them, never from what the operator typed).
//
// A valid text is six fields of one or two hexadecimal digits (either case) separated by colons,
// with optional blanks around the whole ("00:D0:BE:D0:BE:D0", "2:0:0:a:0:1"); it reads exactly as
// "%X:%X:%X:%X:%X:%X" reads it. The address must be an individual one: not a group (multicast or
// broadcast: low bit of the first byte set) and not all zero, since hosts would send their
// traffic for the far subnet to it.
//
// A plain value: the owner of the tunnel parses it on its thread before Start and hands it to the
// workers, which copy it.
#pragma once

#include <cstdint>

class CMacAddress {
  public:
    enum class Problem : std::uint8_t { kNone, kNotSixFields, kGroup, kAllZero };

    static constexpr int kTextSize = 18;  // "xx:xx:xx:xx:xx:xx" and its NUL

    // Reads and checks `text` (null reads as empty). On kNone the value is the address; on any
    // problem it is all zero.
    Problem Parse(const char* text);

    const std::uint8_t* Bytes() const { return m_bytes; }
    // The value as six two-digit lower-case fields separated by colons.
    const char* Text() const { return m_text; }

    // kNone for an individual address, else kGroup or kAllZero; the six bytes at `bytes`.
    static Problem Classify(const std::uint8_t* bytes);
    static bool IsIndividual(const std::uint8_t* bytes) {
        return Classify(bytes) == Problem::kNone;
    }

    // A few words that finish "The virtual MAC address ... ", such as "is a group address".
    static const char* Describe(Problem problem);

  private:
    void Set(const std::uint8_t* bytes);

    std::uint8_t m_bytes[6] = {};
    char m_text[kTextSize] = "00:00:00:00:00:00";
};
