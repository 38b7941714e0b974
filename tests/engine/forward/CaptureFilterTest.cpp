// The shared capture opener's filter failures, on the loopback interface: the library's own
// words reach standard error, and the forwarder ends rather than forward unfiltered.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "engine/forward/LanToTunnel.h"
#include "platform/PcapCompat.h"
#include "tests/support/NetNamespace.h"

namespace {

pcap_if_t Loopback() {
    static char name[] = "lo";
    pcap_if_t adapter{};
    adapter.name = name;
    return adapter;
}

TEST(CaptureFilter, FailedFilterLeavesTheCaptureOpenAndSaysWhyInTheLibrarysWords) {
    REQUIRE_NETWORK_PRIVILEGES();
    pcap_if_t lo = Loopback();
    bool filtered = true;
    testing::internal::CaptureStderr();
    pcap_t* capture = platform::OpenFilteredCapture(&lo, "ether dst nonsense", {}, &filtered);
    const std::string error = testing::internal::GetCapturedStderr();
    ASSERT_NE(capture, nullptr);
    EXPECT_FALSE(filtered);
    pcap_close(capture);
    EXPECT_NE(error.find("Unable to compile the packet filter. Check the syntax."),
              std::string::npos);
    EXPECT_NE(error.find("nonsense"), std::string::npos) << error;  // the library's own text

    capture = platform::OpenFilteredCapture(&lo, "arp", {}, &filtered);
    ASSERT_NE(capture, nullptr);
    EXPECT_TRUE(filtered);
    pcap_close(capture);
}

TEST(CaptureFilter, ForwarderWithoutItsFilterEndsItsThread) {
    REQUIRE_NETWORK_PRIVILEGES();
    pcap_if_t lo = Loopback();
    CLanToTunnel forwarder(0x7F000001, 27659);
    forwarder.SetAdapter(&lo);
    // No virtual MAC was given (the owners refuse to start without a valid one): the filter
    // "ether dst  and ip and not arp" cannot be compiled.
    testing::internal::CaptureStderr();
    forwarder.Launch();
    unsigned exitCode = 1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!forwarder.GetExitCode(&exitCode) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const bool ended = forwarder.GetExitCode(&exitCode);
    forwarder.RequestStop();
    forwarder.Join();
    const std::string error = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ended) << "the forwarder kept running without its filter";
    EXPECT_NE(error.find("Nothing is forwarded"), std::string::npos) << error;
}

}  // namespace
