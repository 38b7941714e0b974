// UDP mode seen on the WAN: the datagrams router A puts on the wire for what host A sends are
// exactly the fragments the far end expects (count, sizes, bytes, order), whether the kernel
// takes each packet's datagrams as one segmented send or, on a WAN whose MTU (1420, as on a
// WireGuard link) is below one segment, refuses it, where the forwarder says so once and sends
// them one by one (the kernel then cuts the full ones into IP fragments, as it always did).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/inject/TunnelToLan.h"
#include "seal/SealedChannel.h"
#include "seal/TunnelKey.h"
#include "tests/engine/TwoLans.h"
#include "tests/support/PacketCapture.h"
#include "tests/support/TunnelDatagrams.h"

namespace forwardtest {
namespace {

using testsupport::CPacketCapture;

// UDP payload sizes making IP packets of 29 bytes, 1400 and 1401 (the one- and two-fragment
// edges), 1500 (a full frame) and 60.
const int kPayloads[] = {1, 1372, 1373, 1472, 32};

// The UDP payloads the captured frames carry, IPv4 fragments joined (they leave first to last);
// empty when a fragment is out of place.
testsupport::Datagrams UdpPayloads(const std::vector<std::string>& frames) {
    testsupport::Datagrams out;
    std::string gathered;  // the IP payload so far of a fragmented datagram
    for (const std::string& frame : frames) {
        if (frame.size() < 34) return {};
        const auto byte = [&](std::size_t i) { return static_cast<unsigned>(frame[i] & 0xFF); };
        const std::size_t header = (byte(14) & 0x0F) * 4u;
        const std::size_t total = byte(16) << 8 | byte(17);
        const bool more = (byte(20) & 0x20) != 0;
        const std::size_t offset = ((byte(20) & 0x1F) << 8 | byte(21)) * 8u;
        if (offset != gathered.size() || total < header || frame.size() < 14 + total) return {};
        gathered += frame.substr(14 + header, total - header);
        if (more) continue;
        if (gathered.size() < 8) return {};
        out.push_back(gathered.substr(8));
        gathered.clear();
    }
    return out;
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

TEST(UdpSegmentationOnTheWan, DatagramsAreExactlyTheFragmentsOfTheForwardedPackets) {
    REQUIRE_NETWORK_PRIVILEGES();
    for (bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "WAN MTU below one segment" : "segmented sends");
        CTwoLans lans;
        ASSERT_TRUE(lans.Ok());
        // A segment that does not fit the MTU whole: this kernel answers EMSGSIZE (older ones
        // EINVAL).
        if (refused) {
            for (CTwoLans::Side side : {CTwoLans::kA, CTwoLans::kB}) {
                ASSERT_EQ(lans.Router(side).Run("ip link set wan0 mtu 1420"), 0);
            }
        }
        ::testing::internal::CaptureStderr();
        std::unique_ptr<CTunnelEngine> a, b;
        const bool up = lans.StartPair(CTunnelEngine::Mode::kUdp, a, b);
        CPacketCapture lan, wan;
        bool capturing = false;
        if (up) {
            capturing =
                lan.Start(lans.Router(CTwoLans::kA), "lan0",
                          std::string("ether dst ") + CTwoLans::kMacA + " and udp and dst host " +
                              CTwoLans::kHostB + " and dst port 9") &&
                wan.Start(lans.Router(CTwoLans::kA), "wan0",
                          std::string("udp and src host ") + CTwoLans::kWanA);
        }
        if (capturing) {
            CTwoLans::Inside(lans.Host(CTwoLans::kA), [&] {
                const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_port = htons(9);
                ::inet_pton(AF_INET, CTwoLans::kHostB, &to.sin_addr);
                for (int round = 0; round < 3; ++round) {
                    for (int size : kPayloads) {
                        std::string payload(static_cast<std::size_t>(size), '\0');
                        for (int i = 0; i < size; ++i)
                            payload[i] = static_cast<char>(i * 31 + size);
                        ::sendto(s, payload.data(), payload.size(), 0,
                                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
                        // Spaced out, so a lost frame cannot hide behind a batch.
                        std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    }
                }
                ::close(s);
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        lan.Stop();
        wan.Stop();
        a.reset();
        b.reset();
        const std::string said = ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(up) << "tunnel never came up";
        ASSERT_TRUE(capturing);

        // What the forwarder took from the LAN (the frames less their Ethernet header), and the
        // datagrams the far end must receive for it.
        std::vector<std::string> packets;
        for (const std::string& frame : lan.Frames()) packets.push_back(frame.substr(14));
        ASSERT_EQ(packets.size(), 3 * std::size(kPayloads));
        const testsupport::Datagrams expected = testsupport::ExpectedDatagrams(packets);
        ASSERT_EQ(expected.size(), 3u * 7);
        EXPECT_EQ(UdpPayloads(wan.Frames()), expected);
        EXPECT_EQ(Count(said, "UDP segmentation refused"), refused ? 1 : 0) << said;
    }
}

// A WAN that passes segmented sends on whole (as veths do): the far end receives each packet's
// datagrams in one buffer with the segment size beside it, and cuts them itself. Sealed or not,
// everything arrives intact, and the runs were really received as runs.
TEST(UdpReceiveOffload, RunsOfDatagramsAreCutByTheReceiverAndArriveIntact) {
    REQUIRE_NETWORK_PRIVILEGES();
    for (bool sealed : {false, true}) {
        SCOPED_TRACE(sealed ? "sealed" : "unsealed");
        CTwoLans lans;
        ASSERT_TRUE(lans.Ok());
        for (CTwoLans::Side side : {CTwoLans::kA, CTwoLans::kB}) {
            ASSERT_EQ(lans.Router(side).Run("ethtool -K wan0 tx-udp-segmentation on >/dev/null"),
                      0);
        }
        std::unique_ptr<CTunnelEngine> ends[2] = {lans.Construct(CTwoLans::kA),
                                                  lans.Construct(CTwoLans::kB)};
        for (CTwoLans::Side side : {CTwoLans::kB, CTwoLans::kA}) {
            CTunnelEngine::Settings s = lans.Settings(side, CTunnelEngine::Mode::kUdp);
            if (sealed) {
                std::uint8_t bytes[seal::kKeySize];
                for (int i = 0; i < seal::kKeySize; ++i)
                    bytes[i] = static_cast<std::uint8_t>(3 * i);
                s.key = seal::CTunnelKey::FromBytes(bytes);
            }
            ends[side]->SetSettings(s);
            ASSERT_TRUE(lans.Start(side, *ends[side]));
        }
        ASSERT_TRUE(lans.PingUntil(CTwoLans::kA, CTwoLans::kHostB, 15));
        EXPECT_TRUE(lans.PingUntil(CTwoLans::kB, CTwoLans::kHostA, 3, 1472));
        double seconds = 0;
        const std::vector<std::string> sums = lans.TransferBothWays(10, 40, &seconds);
        ASSERT_EQ(sums.size(), 4u);
        EXPECT_EQ(sums[0], sums[1]) << "A to B differs";
        EXPECT_EQ(sums[2], sums[3]) << "B to A differs";
        for (CTwoLans::Side side : {CTwoLans::kA, CTwoLans::kB}) {
            SCOPED_TRACE(side == CTwoLans::kA ? "end A" : "end B");
            ASSERT_NE(ends[side]->Injector(), nullptr);
            EXPECT_GT(ends[side]->Injector()->GetReceivedRuns(), 1000u);
            if (sealed) {
                EXPECT_EQ(ends[side]->SealedChannel()->GetStats().authFailures, 0u);
            }
        }
        for (CTwoLans::Side side : {CTwoLans::kA, CTwoLans::kB}) {
            lans.Inside(lans.Router(side), [&] { ends[side]->Stop(); });
        }
    }
}

}  // namespace
}  // namespace forwardtest
