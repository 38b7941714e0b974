// The UDP sender on loopback, with the kernel's answers played through its seam: a kernel that
// refuses segmentation turns the sender to single datagrams for good, said once, with nothing
// lost; a message the kernel fails counts all its datagrams as lost. (Real segmented sends are
// checked on a WAN: tests/engine/UdpSegmentationTest.cpp.)
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <string>
#include <vector>

#include "engine/forward/ForwardBatch.h"
#include "engine/forward/UdpSender.h"
#include "tests/support/TunnelDatagrams.h"

namespace {

// The sender with the kernel's answers played where a test asks: `refuseWith` fails the first
// segmented message of a call `refusals` times (the calls before it send the messages ahead of
// it, as sendmmsg does); everything else goes to the real socket.
class CPlayedSender : public CUdpSender {
  public:
    int refuseWith = 0;
    int refusals = 0;
    int segmentedCalls = 0;  // calls that offered at least one segmented message

  protected:
    int Transmit(mmsghdr* messages, unsigned count) override {
        unsigned plain = 0;
        while (plain < count && messages[plain].msg_hdr.msg_controllen == 0) ++plain;
        if (plain < count) ++segmentedCalls;
        if (plain == count || refusals == 0) return CUdpSender::Transmit(messages, count);
        if (plain > 0) return CUdpSender::Transmit(messages, plain);
        --refusals;
        errno = refuseWith;
        return -1;
    }
};

class UdpSender : public ::testing::Test {
  protected:
    void SetUp() override {
        m_receiver = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(m_receiver, 0);
        int room = 8 << 20;
        ::setsockopt(m_receiver, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(m_receiver, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        socklen_t length = sizeof address;
        ASSERT_EQ(::getsockname(m_receiver, reinterpret_cast<sockaddr*>(&address), &length), 0);
        ASSERT_TRUE(m_sender.Open(INADDR_LOOPBACK, ntohs(address.sin_port)));
    }
    void TearDown() override {
        if (m_receiver >= 0) ::close(m_receiver);
    }

    // Fills the batch with these packets (each byte telling where it came from). The batch
    // sends them from where they lie, so the fixture holds them until the test ends.
    std::vector<std::string> Fill(CForwardBatch& batch, const std::vector<int>& lengths) {
        std::vector<std::string> packets;
        for (int length : lengths) {
            std::string& p = m_held.emplace_back(static_cast<std::size_t>(length), '\0');
            for (int i = 0; i < length; ++i) p[i] = static_cast<char>(i * 13 + packets.size());
            EXPECT_TRUE(batch.Add(reinterpret_cast<const std::uint8_t*>(p.data()), length));
            packets.push_back(p);
        }
        return packets;
    }
    std::deque<std::string> m_held;  // never moves an element
    int Send(CForwardBatch& batch) {
        return m_sender.SendSegmented(batch.Messages(), batch.FirstDatagrams(),
                                      batch.MessageCount(), batch.Datagrams());
    }
    // The datagrams that arrive, each within 1 s of the one before, up to `most`.
    testsupport::Datagrams Receive(int most) {
        testsupport::Datagrams got;
        static char buffer[70000];
        while (static_cast<int>(got.size()) < most) {
            pollfd p{m_receiver, POLLIN, 0};
            if (::poll(&p, 1, 1000) != 1) break;
            const ssize_t n = ::recv(m_receiver, buffer, sizeof buffer, 0);
            if (n < 0) break;
            got.emplace_back(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }
    bool NothingMoreArrives() {
        pollfd p{m_receiver, POLLIN, 0};
        return ::poll(&p, 1, 100) == 0;
    }

    int m_receiver = -1;
    CPlayedSender m_sender;
};

const std::vector<int> kLengths = {60, 1401, 4201, 1400, 65522, 2800};

TEST_F(UdpSender, AKernelRefusingSegmentationTurnsTheSenderToSingleDatagramsLosingNothing) {
    CForwardBatch batch(CForwardBatch::Form::kFragments, 1 << 20, 100);
    for (int refusal : {EIO, EINVAL, EMSGSIZE, ENOPROTOOPT, EOPNOTSUPP}) {
        SCOPED_TRACE(refusal);
        CPlayedSender sender;
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ASSERT_EQ(::getsockname(m_receiver, reinterpret_cast<sockaddr*>(&address), &length), 0);
        ASSERT_TRUE(sender.Open(INADDR_LOOPBACK, ntohs(address.sin_port)));
        sender.refuseWith = refusal;
        sender.refusals = 1000;  // a kernel without it refuses every time

        batch.Clear();
        std::vector<std::string> packets = Fill(batch, kLengths);
        ::testing::internal::CaptureStderr();
        const int failed = sender.SendSegmented(batch.Messages(), batch.FirstDatagrams(),
                                                batch.MessageCount(), batch.Datagrams());
        batch.Clear();
        std::vector<std::string> more = Fill(batch, {3000, 20});
        const int failedLater = sender.SendSegmented(batch.Messages(), batch.FirstDatagrams(),
                                                     batch.MessageCount(), batch.Datagrams());
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(failed, 0);
        EXPECT_EQ(failedLater, 0);
        EXPECT_FALSE(sender.Segmenting());
        // The first call sent the 60-byte packet ahead of the 1401-byte one, which the second
        // call found refused; it and all after it went one by one, and the next batch was never
        // offered segmented.
        EXPECT_EQ(sender.segmentedCalls, 2);
        packets.insert(packets.end(), more.begin(), more.end());
        const testsupport::Datagrams expected = testsupport::ExpectedDatagrams(packets);
        EXPECT_EQ(Receive(static_cast<int>(expected.size())), expected);
        EXPECT_TRUE(NothingMoreArrives());
        // One line, naming what happened.
        EXPECT_EQ(said.find("UDP segmentation refused"), said.rfind("UDP segmentation refused"));
        EXPECT_NE(said.find("UDP segmentation refused"), std::string::npos) << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    }
}

TEST_F(UdpSender, AFailedSegmentedMessageLosesItsDatagramsAndOnlyThose) {
    CForwardBatch batch(CForwardBatch::Form::kFragments, 1 << 20, 100);
    std::vector<std::string> packets = Fill(batch, {60, 4201, 1400, 2801});
    m_sender.refuseWith = ENOBUFS;  // not a refusal of segmentation: the message is lost
    m_sender.refusals = 1;
    EXPECT_EQ(Send(batch), 4) << "the 4201-byte packet's four datagrams";
    EXPECT_TRUE(m_sender.Segmenting());
    packets.erase(packets.begin() + 1);
    const testsupport::Datagrams expected = testsupport::ExpectedDatagrams(packets);
    EXPECT_EQ(Receive(static_cast<int>(expected.size())), expected);
    EXPECT_TRUE(NothingMoreArrives());
}

}  // namespace
