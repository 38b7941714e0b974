// libFuzzer target for the ARP rules: the virtual MAC text, the answer rule, and what the
// neighbour table learns from ARP frames, asks for and lets wait, driven by a sequence of
// operations on one table and a clock of its own. Checked on every step:
//  - a MAC text that passes reads as "%X:%X:%X:%X:%X:%X" reads it,
//    is an individual address, and its text reads back to the same bytes;
//  - an answer goes to the requester, from the virtual router, as a 42-byte reply;
//  - only hosts of this end's subnet with individual MACs are ever learned or asked for;
//  - a request for one address never follows the last one within a second, and a probe goes to
//    the MAC the table holds;
//  - the frames flushed for an address are the last frames queued for it, unchanged, in order,
//    with the learned MAC in front;
//  - an unsolicited sender never pushes out an address that traffic went to.
//
// Input: operations back to back, each an opcode byte and its operand bytes (missing bytes read
// as 0). One operation is a burst over hundreds of consecutive addresses, so that small inputs
// fill the table.
#include <arpa/inet.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/arp/ArpFrames.h"
#include "engine/arp/MacAddress.h"
#include "engine/arp/NeighbourTable.h"

namespace {

using Table = CNeighbourTable;

// Names the broken rule's line, then stops the run.
#define Check(condition)                                                 \
    do {                                                                 \
        if (!(condition)) {                                              \
            std::fprintf(stderr, "check failed at line %d\n", __LINE__); \
            std::abort();                                                \
        }                                                                \
    } while (false)

// This end: 10.2.0.0/16, virtual router 10.2.0.1.
constexpr std::uint32_t kNetwork = 0x0A020000;
constexpr std::uint32_t kVirtual = 0x0A020001;
constexpr std::uint8_t kVirtualMac[6] = {0x02, 0x56, 0x54, 0, 0, 0x01};

bool IsNeighbour(std::uint32_t address) {  // network order
    const std::uint32_t host = ntohl(address);
    return (host & 0xFFFF0000) == kNetwork && host != kNetwork && host != (kNetwork | 0xFFFF) &&
           host != kVirtual;
}

bool IsIndividual(const std::uint8_t* mac) {
    return (mac[0] & 1) == 0 && (mac[0] | mac[1] | mac[2] | mac[3] | mac[4] | mac[5]) != 0;
}

class CInput {
  public:
    CInput(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool More() const { return m_at < m_size; }
    std::uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    // Mostly a few addresses that meet each other, sometimes any address at all.
    std::uint32_t Address() {
        const std::uint8_t kind = Byte();
        if (kind < 0xC0) return htonl(kNetwork | (kind & 0x0F));  // .0 .1 and .2 to .15
        std::uint32_t host = kind < 0xF0 ? kNetwork : Word16() << 16;
        host |= Word16();
        return htonl(host);
    }
    std::uint32_t Word16() {
        const std::uint32_t high = Byte();
        return high << 8 | Byte();
    }

  private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

struct Queued {
    std::uint8_t tag;
    int length;
};

void CheckMacText(CInput& in) {
    char text[24] = {};
    const int length = in.Byte() % 23;
    for (int i = 0; i < length; ++i) text[i] = static_cast<char>(in.Byte() % 0x80);
    CMacAddress mac;
    if (mac.Parse(text) != CMacAddress::Problem::kNone) {
        for (int i = 0; i < 6; ++i) Check(mac.Bytes()[i] == 0);
        return;
    }
    unsigned fields[6];
    Check(std::sscanf(text, "%X:%X:%X:%X:%X:%X", &fields[0], &fields[1], &fields[2], &fields[3],
                      &fields[4], &fields[5]) == 6);
    for (int i = 0; i < 6; ++i) Check(mac.Bytes()[i] == (fields[i] & 0xFF));
    Check(IsIndividual(mac.Bytes()));
    CMacAddress again;
    Check(again.Parse(mac.Text()) == CMacAddress::Problem::kNone);
    Check(std::memcmp(again.Bytes(), mac.Bytes(), 6) == 0);
}

// One table and what the checks remember of it, for one input.
class CRun {
  public:
    CRun() {
        m_table.Configure(0, 0, 0);  // forgets the last input's entries
        m_table.Configure(kNetwork, 0xFFFF0000, kVirtual);
    }

    // A packet for `address`, `length` bytes of `tag` behind its header.
    void Lookup(std::uint32_t address, int length, std::uint8_t tag) {
        // A new entry asks at once, whatever an entry replaced earlier did.
        if (m_table.StateOf(address) == Table::State::kUnknown) m_lastBroadcast.erase(address);
        std::memset(m_frame, tag, static_cast<std::size_t>(length));
        const Table::Answer answer = m_table.Lookup(address, m_frame, length, m_now);
        if (!IsNeighbour(address)) {
            Check(answer.action == Table::Action::kDropped);
            Check(m_table.StateOf(address) == Table::State::kUnknown);
            return;
        }
        m_used.insert(address);
        std::uint8_t mac[6];
        if (answer.action == Table::Action::kSend) {
            Check(m_table.MacOf(address, mac) && std::memcmp(mac, answer.mac, 6) == 0);
            Check(IsIndividual(mac));
        } else if (answer.action == Table::Action::kQueued) {
            Check(m_table.StateOf(address) == Table::State::kIncomplete);
            Check(length >= 14 && length <= Table::kQueueBytes);
            m_queued[address].push_back({tag, length});
        }
    }

    // The sender of an ARP request or reply seen on the LAN.
    void Arp(std::uint32_t sender, const std::uint8_t* mac) {
        const Table::State before = m_table.StateOf(sender);
        if (before == Table::State::kUnknown) {
            // A new entry: not in use, and not asked for yet.
            m_used.erase(sender);
            m_lastBroadcast.erase(sender);
        }
        // Addresses that traffic goes to (or waits for): an unsolicited sender may replace
        // failed and never used entries only (and replaces only in a full table). A window of
        // them, moving on with every check, keeps a flood into a full table affordable.
        std::vector<std::uint32_t> inUse;
        if (before == Table::State::kUnknown && m_table.Size() == Table::kCapacity) {
            auto it = m_used.lower_bound(m_cursor);
            for (std::size_t k = 0; k < std::min<std::size_t>(m_used.size(), 64); ++k, ++it) {
                if (it == m_used.end()) it = m_used.begin();
                const Table::State state = m_table.StateOf(*it);
                if (state != Table::State::kUnknown && state != Table::State::kFailed) {
                    inUse.push_back(*it);
                }
                m_cursor = *it + 1;
            }
        }
        const std::span<const Table::Pending> flushed = m_table.OnArp(sender, mac, m_now);
        const bool learned = IsNeighbour(sender) && IsIndividual(mac);
        const Table::State after = m_table.StateOf(sender);
        if (!learned) {
            Check(after == before && flushed.empty());
            return;
        }
        if (before != Table::State::kUnknown) {
            Check(after == Table::State::kReachable);
        } else {
            Check(after == Table::State::kReachable || after == Table::State::kUnknown);
            for (std::uint32_t a : inUse) Check(m_table.StateOf(a) != Table::State::kUnknown);
        }
        if (after == Table::State::kReachable) {
            std::uint8_t held[6];
            Check(m_table.MacOf(sender, held) && std::memcmp(held, mac, 6) == 0);
        }
        // What comes back is the tail of what was queued since the address was last learned:
        // frames are only ever lost from the head (a queue taken over, expired or replaced with
        // its entry loses all it held), unchanged.
        std::vector<Queued>& model = m_queued[sender];
        Check(flushed.size() <= model.size());
        const std::size_t skip = model.size() - flushed.size();
        for (std::size_t k = 0; k < flushed.size(); ++k) {
            const Queued& q = model[skip + k];
            Check(flushed[k].length == q.length);
            Check(std::memcmp(flushed[k].frame, mac, 6) == 0);
            for (int b = 6; b < q.length; ++b) Check(flushed[k].frame[b] == q.tag);
        }
        model.clear();
    }

    void TakeDue(int capacity) {
        Table::Request out[8];
        const int n = m_table.TakeDue(m_now, out, capacity);
        Check(n >= 0 && n <= capacity);
        for (int k = 0; k < n; ++k) {
            Check(IsNeighbour(out[k].address));
            if (out[k].unicast) {
                std::uint8_t mac[6];
                Check(m_table.MacOf(out[k].address, mac));
                Check(std::memcmp(mac, out[k].mac, 6) == 0);
                Check(m_table.StateOf(out[k].address) == Table::State::kProbe);
            } else {
                auto last = m_lastBroadcast.find(out[k].address);
                Check(last == m_lastBroadcast.end() || m_now - last->second >= Table::kRetransmit);
                m_lastBroadcast[out[k].address] = m_now;
            }
        }
    }

    void Wait(std::chrono::milliseconds time) { m_now += time; }

    // After every operation.
    void Settle() { Check(m_table.Size() <= Table::kCapacity); }

  private:
    static Table m_table;  // one allocation for the whole run
    static std::uint8_t m_frame[Table::kQueueBytes + 1];
    Table::TimePoint m_now = Table::TimePoint{} + std::chrono::seconds(1000);
    std::map<std::uint32_t, std::vector<Queued>> m_queued;  // frames handed in, per address
    std::map<std::uint32_t, Table::TimePoint> m_lastBroadcast;
    // Addresses a packet was sent or queued to since their entry was made.
    std::set<std::uint32_t> m_used;
    std::uint32_t m_cursor = 0;  // where the next window of m_used starts
};

Table CRun::m_table;
std::uint8_t CRun::m_frame[Table::kQueueBytes + 1];

// An ARP frame as captured, then the answer rule on it; the sender, if any, goes to the table.
void ArpFrame(CInput& in, CRun& run, std::uint8_t* reply) {
    std::uint8_t arp[42] = {};
    const std::uint32_t captured = in.Byte() < 8 ? in.Byte() % 42 : 42;
    for (std::uint8_t& b : arp) b = in.Byte();
    if (in.Byte() & 1) {  // a well-formed header, so the rules are reached
        const std::uint8_t header[8] = {0, 1, 8, 0,
                                        6, 4, 0, static_cast<std::uint8_t>(1 + (arp[21] & 1))};
        std::memcpy(arp + 14, header, 8);
        if (in.Byte() & 1) {
            const std::uint32_t target = htonl(kVirtual);
            std::memcpy(arp + 38, &target, 4);
        }
        const std::uint32_t sender = in.Address();
        std::memcpy(arp + 28, &sender, 4);
    }
    if (CArpFrames::ShouldAnswer(arp, captured, reply, true)) {
        Check(captured >= 42 && arp[21] == 1);
        CArpFrames::FillReply(reply, arp);
        Check(std::memcmp(reply, arp + 6, 6) == 0);
        Check(std::memcmp(reply + 6, kVirtualMac, 6) == 0);
        Check(reply[20] == 0 && reply[21] == 2);
        Check(std::memcmp(reply + 22, kVirtualMac, 6) == 0);
        Check(CArpFrames::AddressAt(reply, 28) == htonl(kVirtual));
        Check(std::memcmp(reply + 32, arp + 6, 6) == 0);
        Check(std::memcmp(reply + 38, arp + 28, 4) == 0);
    }
    std::uint32_t sender;
    std::uint8_t mac[6];
    if (!CArpFrames::SenderOf(arp, captured, &sender, mac)) return;
    Check(captured >= 42 && (arp[21] == 1 || arp[21] == 2));
    run.Arp(sender, mac);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t request[42], reply[42];
    CArpFrames::BuildRequestTemplate(request);
    CArpFrames::BuildReplyTemplate(request, reply);
    CArpFrames::SetVirtualRouter(request, reply, htonl(kVirtual), kVirtualMac);
    CRun run;
    CInput in(data, size);
    while (in.More()) {
        switch (in.Byte() % 6) {
            case 0:
                ArpFrame(in, run, reply);
                break;
            case 1: {
                const std::uint32_t address = in.Address();
                const int length = static_cast<int>(in.Word16() % (Table::kQueueBytes + 2));
                run.Lookup(address, length, in.Byte());
                break;
            }
            case 2:
                run.TakeDue(in.Byte() % 9);
                break;
            case 3:
                run.Wait(std::chrono::milliseconds(10 * in.Byte()));
                break;
            case 4:
                CheckMacText(in);
                break;
            case 5: {  // a burst over consecutive addresses: packets to them, or their replies
                const std::uint32_t first = in.Word16();
                const int count = in.Byte() * 4;
                const bool replies = (in.Byte() & 1) != 0;
                for (int i = 0; i < count; ++i) {
                    const std::uint32_t address = htonl(kNetwork | ((first + i) & 0xFFFF));
                    if (replies) {
                        const std::uint8_t mac[6] = {
                            2, 0, 0, 0, std::uint8_t(i >> 8), std::uint8_t(i)};
                        run.Arp(address, mac);
                    } else {
                        run.Lookup(address, 60, std::uint8_t(i));
                    }
                    run.Settle();
                }
                break;
            }
        }
        run.Settle();
    }
    return 0;
}
