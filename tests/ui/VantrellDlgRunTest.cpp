// The dialog running the real engine on a veth pair. The test thread (the UI thread) enters the
// namespace "lan" before it makes the dialog, so the adapter list, the captures and every worker
// thread live there; "peer" is a host on the same LAN.
//
//   lan: veth0 10.77.0.1/24 (dialog; virtual router 10.77.0.254, 00:D0:BE:D0:BE:D0)
//    |
//   peer: veth0 10.77.0.2/24
//
// The tunnel's far end is loopback inside "lan", so nothing leaves the namespaces.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/InternetChecksum.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/SocketAddress.h"
#include "tests/ui/UiTestSupport.h"

using testsupport::CNetNamespace;
using testsupport::Loopback;
using uitest::Control;

namespace {

constexpr const char* kAdapterLabel = "No Description (veth0)";
constexpr int kListenPort = 27659;
constexpr int kTunnelPort = 27670;

enum class Mode { kUdp, kTcpListener, kTcpInitiator };

std::string Settings(Mode mode, bool autostart, const std::string& adapter = kAdapterLabel,
                     const char* respond = "Yes") {
    return "[This End]\nIP=10.77.0.0\nMask=255.255.255.0\nAdaptor=" + adapter +
           "\n[Other End]\nIP=10.88.0.0\nMask=255.255.255.0\n[Tunnel]\nIP=127.0.0.1\nPort=" +
           std::to_string(kTunnelPort) + "\nTCP=" + (mode == Mode::kUdp ? "No" : "Yes") +
           "\nTCP Initiate=" + (mode == Mode::kTcpInitiator ? "Yes" : "No") +
           "\n[Listen]\nPort=" + std::to_string(kListenPort) +
           "\n[Virtual]\nIP=10.77.0.254\nMAC=00:D0:BE:D0:BE:D0\n[ARP]\nRespond=" + respond +
           "\n[Start]\nAutostart=" + (autostart ? "Yes" : "No") + "\nHide=No\n";
}

// A joined thread can linger in /proc for a moment after its join returned.
bool ThreadCountSettlesAt(int count) {
    return QTest::qWaitFor([&] { return testsupport::ThreadCount() == count; }, 1000);
}

class VantrellDlgRun : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_NETWORK_PRIVILEGES();
        m_lan = std::make_unique<CNetNamespace>("lan");
        m_peer = std::make_unique<CNetNamespace>("peer");
        ASSERT_TRUE(m_lan->Ok() && m_peer->Ok());
        ASSERT_TRUE(CNetNamespace::Link(*m_lan, "veth0", *m_peer, "veth0"));
        ASSERT_EQ(m_lan->Run("ip link set lo up && ip addr add 10.77.0.1/24 dev veth0 && "
                             "ip link set veth0 up"),
                  0);
        ASSERT_EQ(m_peer->Run("ip link set lo up && ip addr add 10.77.0.2/24 dev veth0 && "
                              "ip link set veth0 up && "
                              "(ethtool -K veth0 tso off gso off tx off >/dev/null 2>&1 || true)"),
                  0);
        m_inside = std::make_unique<CNetNamespace::Enter>(*m_lan);
        ASSERT_TRUE(m_inside->Ok());
        m_baseThreads = testsupport::ThreadCount();
    }

    void TearDown() override {
        m_inside.reset();
        m_peer.reset();
        m_lan.reset();
    }

    // The configuration controls that Start locks.
    static std::vector<int> ConfigurationIds() {
        return {1000, 1001, 1002, 1003, 1004, 1005, 1006, 1010, 1013, 1014, 1016, 1017};
    }

    void ExpectRunningControls(CVantrellDlg& dialog) {
        EXPECT_TRUE(Control(&dialog, 1008)->isEnabled());
        EXPECT_FALSE(Control(&dialog, 1007)->isEnabled());
        for (int id : ConfigurationIds()) EXPECT_FALSE(Control(&dialog, id)->isEnabled()) << id;
        EXPECT_TRUE(Control(&dialog, 1019)->isEnabled());
        EXPECT_TRUE(Control(&dialog, 1020)->isEnabled());
    }

    // Enabled state of 1004, 1005, 1006 and the visibility of 1017, as one text.
    static std::string ModeControls(CVantrellDlg& dialog) {
        auto on = [&](int id) { return Control(&dialog, id)->isEnabled() ? '1' : '0'; };
        return std::string{on(1004), on(1005), on(1006),
                           Control(&dialog, 1017)->isVisibleTo(&dialog) ? 'V' : 'H'};
    }

    uitest::CTempWorkDir m_dir;
    std::unique_ptr<CNetNamespace> m_lan, m_peer;
    std::unique_ptr<CNetNamespace::Enter> m_inside;
    int m_baseThreads = 0;
};

QString StatusText(CVantrellDlg& dialog) {
    return Control<QLabel>(&dialog, 1018)->text();
}

TEST_F(VantrellDlgRun, AutoStartWithAListedAdapterOpensRunning) {
    uitest::WriteIni(Settings(Mode::kUdp, true));
    CVantrellDlg dialog;
    dialog.show();
    EXPECT_TRUE(CVantrellDlgProbe::Running(dialog));
    EXPECT_EQ(Control<QComboBox>(&dialog, 1010)->currentText(), kAdapterLabel);
    EXPECT_TRUE(Control<QCheckBox>(&dialog, 1019)->isChecked());
    ExpectRunningControls(dialog);
    // UDP mode: the sentence stays for the whole run.
    EXPECT_EQ(StatusText(dialog), "Using UDP mode.");
    QTest::qWait(350);
    EXPECT_EQ(StatusText(dialog), "Using UDP mode.");
    EXPECT_TRUE(
        ThreadCountSettlesAt(m_baseThreads + 5));  // status, link, ARP agent, forwarder, injector

    Control<QPushButton>(&dialog, 1008)->click();
    EXPECT_EQ(StatusText(dialog), "Not Connected");
    EXPECT_EQ(ModeControls(dialog), "111H");
    EXPECT_FALSE(Control(&dialog, 1008)->isEnabled());
    EXPECT_TRUE(Control(&dialog, 1007)->isEnabled());
    EXPECT_TRUE(ThreadCountSettlesAt(m_baseThreads + 2));  // the status server, the idle link
}

TEST_F(VantrellDlgRun, AutoStartWithAnUnlistedAdapterStaysStopped) {
    uitest::WriteIni(Settings(Mode::kUdp, true, "No Description (nosuch9)"));
    CVantrellDlg dialog;
    dialog.show();
    EXPECT_FALSE(CVantrellDlgProbe::Running(dialog));
    EXPECT_TRUE(Control<QCheckBox>(&dialog, 1019)->isChecked());
    EXPECT_EQ(Control<QComboBox>(&dialog, 1010)->currentIndex(), -1);
    EXPECT_TRUE(Control(&dialog, 1007)->isEnabled());
    EXPECT_FALSE(Control(&dialog, 1008)->isEnabled());
    EXPECT_EQ(StatusText(dialog), "Not Connected");
    EXPECT_TRUE(ThreadCountSettlesAt(m_baseThreads + 2));
    // The list shows the namespace's own adapters; choosing one makes Start run on it.
    auto* list = Control<QComboBox>(&dialog, 1010);
    const int veth = list->findText(kAdapterLabel);
    ASSERT_GE(veth, 0);
    for (int i = 1; i < list->count(); ++i) {
        EXPECT_LT(list->itemText(i - 1).toLower(), list->itemText(i).toLower());
    }
    list->setCurrentIndex(veth);
    Control<QPushButton>(&dialog, 1007)->click();
    EXPECT_TRUE(CVantrellDlgProbe::Running(dialog));
    EXPECT_EQ(uitest::IniValue("This End", "Adaptor"), kAdapterLabel);
}

// A MAC text that is not an individual address would leave the forwarder without its filter:
// Start saves the settings as typed but starts nothing, and says why.
TEST_F(VantrellDlgRun, StartWithABadVirtualMacStartsNothingAndSaysWhy) {
    std::string settings = Settings(Mode::kUdp, true);
    settings.replace(settings.find("MAC=00:D0:BE:D0:BE:D0"), 21, "MAC=01:00:5E:00:00:01");
    uitest::WriteIni(settings);
    ::testing::internal::CaptureStderr();
    {
        CVantrellDlg dialog;
        dialog.show();
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("\"01:00:5E:00:00:01\" is a group"), std::string::npos) << said;
        EXPECT_FALSE(CVantrellDlgProbe::Running(dialog));
        EXPECT_EQ(CVantrellDlgProbe::Forwarder(dialog), nullptr);
        EXPECT_EQ(StatusText(dialog), "Not started: the virtual MAC address is not valid.");
        EXPECT_TRUE(Control(&dialog, 1007)->isEnabled());
        EXPECT_FALSE(Control(&dialog, 1008)->isEnabled());
        EXPECT_TRUE(Control(&dialog, 1014)->isEnabled());
        EXPECT_EQ(uitest::IniValue("Virtual", "MAC"), "01:00:5E:00:00:01");
        EXPECT_TRUE(ThreadCountSettlesAt(m_baseThreads + 2));  // the status server, the idle link

        // Corrected, the same dialog starts.
        Control<QLineEdit>(&dialog, 1014)->setText(QStringLiteral("2:0:0:a:0:1"));
        Control<QPushButton>(&dialog, 1007)->click();
        EXPECT_TRUE(CVantrellDlgProbe::Running(dialog));
        EXPECT_EQ(StatusText(dialog), "Using UDP mode.");
        EXPECT_TRUE(ThreadCountSettlesAt(m_baseThreads + 5));
    }
    EXPECT_TRUE(ThreadCountSettlesAt(m_baseThreads));
}

// A plain TCP client or server on loopback inside "lan".
int TcpSocket() {
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}
TEST_F(VantrellDlgRun, TcpListenerShowsTheLinkSentenceUntilAPeerConnects) {
    uitest::WriteIni(Settings(Mode::kTcpListener, true));
    CVantrellDlg dialog;
    dialog.show();
    ASSERT_TRUE(CVantrellDlgProbe::Running(dialog));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return StatusText(dialog) == "Waiting for connection"; }, 3000))
        << StatusText(dialog).toStdString();
    QTest::qWait(300);
    EXPECT_EQ(StatusText(dialog), "Waiting for connection");

    const int client = TcpSocket();
    const sockaddr_in address = Loopback(kListenPort);
    bool connected = false;
    for (int attempt = 0; attempt < 30 && !connected; ++attempt) {
        connected =
            connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        if (!connected) QTest::qWait(100);
    }
    ASSERT_TRUE(connected);
    EXPECT_TRUE(QTest::qWaitFor([&] { return StatusText(dialog) == "Connected"; }, 5000))
        << StatusText(dialog).toStdString();

    Control<QPushButton>(&dialog, 1008)->click();
    EXPECT_EQ(StatusText(dialog), "Not Connected");
    QTest::qWait(250);  // the timer leaves the status line alone while stopped
    EXPECT_EQ(StatusText(dialog), "Not Connected");
    EXPECT_EQ(ModeControls(dialog), "001V");
    close(client);
}

TEST_F(VantrellDlgRun, TcpInitiatorConnectsToTheAddressAndPortOfItsControls) {
    const int server = TcpSocket();
    const sockaddr_in address = Loopback(kTunnelPort);
    const int yes = 1;
    setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    ASSERT_EQ(bind(server, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(server, 1), 0);

    uitest::WriteIni(Settings(Mode::kTcpInitiator, true));
    CVantrellDlg dialog;
    dialog.show();
    ASSERT_TRUE(CVantrellDlgProbe::Running(dialog));
    EXPECT_TRUE(QTest::qWaitFor([&] { return StatusText(dialog) == "Connected"; }, 5000))
        << StatusText(dialog).toStdString();
    const int accepted = accept4(server, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    EXPECT_GE(accepted, 0);

    Control<QPushButton>(&dialog, 1008)->click();
    EXPECT_EQ(StatusText(dialog), "Not Connected");
    EXPECT_EQ(ModeControls(dialog), "110V");
    if (accepted >= 0) close(accepted);
    close(server);
}

// One IPv4/UDP packet from a host of the other end's subnet to the peer host, as one fragment.
std::vector<std::uint8_t> FragmentFromTheOtherEnd() {
    std::vector<std::uint8_t> packet(20 + 8 + 20, 0);
    packet[0] = 0x45;
    packet[3] = static_cast<std::uint8_t>(packet.size());
    packet[8] = 64;
    packet[9] = 17;  // UDP
    const std::uint8_t source[4] = {10, 88, 0, 5}, destination[4] = {10, 77, 0, 2};
    std::copy(source, source + 4, &packet[12]);
    std::copy(destination, destination + 4, &packet[16]);
    const std::uint16_t sum = testsupport::InternetChecksum(packet.data(), 20);
    packet[10] = static_cast<std::uint8_t>(sum >> 8);
    packet[11] = static_cast<std::uint8_t>(sum);
    packet[21] = 9;                                     // source port 9
    packet[23] = 9;                                     // destination port 9 (discard)
    packet[25] = 28;                                    // UDP length; checksum 0 (none)
    packet.insert(packet.begin(), std::uint8_t{0x80});  // fragment 0, the last
    return packet;
}

TEST_F(VantrellDlgRun, TrafficFromTheOtherEndShowsOnlyTheIncomingArrow) {
    uitest::WriteIni(Settings(Mode::kUdp, true));
    CVantrellDlg dialog;
    dialog.show();
    ASSERT_TRUE(CVantrellDlgProbe::Running(dialog));
    auto* incoming = Control<QLabel>(&dialog, 1012);  // beside "Subnet Other End"
    auto* outgoing = Control<QLabel>(&dialog, 1011);  // beside "Subnet This End"
    // The template's "=>" captions last until the first tick.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return incoming->text().isEmpty() && outgoing->text().isEmpty(); }, 1000));

    const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(kListenPort);
    const std::vector<std::uint8_t> datagram = FragmentFromTheOtherEnd();
    bool sawIncoming = false;
    bool sawOutgoing = false;
    for (int round = 0; round < 60 && !sawIncoming; ++round) {  // at most about 3 s
        sendto(sender, datagram.data(), datagram.size(), 0,
               reinterpret_cast<const sockaddr*>(&address), sizeof address);
        QTest::qWait(50);
        sawIncoming = incoming->text() == "=>";
        sawOutgoing = sawOutgoing || outgoing->text() == "=>";
    }
    EXPECT_TRUE(sawIncoming);
    // Keep the traffic going a little and watch the other arrow stay blank.
    for (int round = 0; round < 10; ++round) {
        sendto(sender, datagram.data(), datagram.size(), 0,
               reinterpret_cast<const sockaddr*>(&address), sizeof address);
        QTest::qWait(30);
        sawOutgoing = sawOutgoing || outgoing->text() == "=>";
    }
    EXPECT_FALSE(sawOutgoing);
    // No more bytes: the arrow goes blank from one of the next ticks.
    EXPECT_TRUE(QTest::qWaitFor([&] { return incoming->text().isEmpty(); }, 1000));

    sendto(sender, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&address),
           sizeof address);
    Control<QPushButton>(&dialog, 1008)->click();
    QTest::qWait(150);  // the next tick
    EXPECT_EQ(incoming->text(), "");
    EXPECT_EQ(outgoing->text(), "");
    close(sender);
}

// Whether the peer's kernel resolves the virtual address to the virtual MAC right now.
bool PeerResolvesVirtualRouter(const CNetNamespace& peer) {
    const std::string table = peer.Output(
        "ip neigh flush dev veth0; ping -c1 -W1 10.77.0.254 >/dev/null 2>&1; "
        "ip neigh show 10.77.0.254");
    return table.find("lladdr 00:d0:be:d0:be:d0") != std::string::npos;
}

TEST_F(VantrellDlgRun, RespondToArpSwitchesAnsweringAtOnce) {
    uitest::WriteIni(Settings(Mode::kUdp, true));
    CVantrellDlg dialog;
    dialog.show();
    ASSERT_TRUE(CVantrellDlgProbe::Running(dialog));
    bool answered = false;
    for (int attempt = 0; attempt < 5 && !answered; ++attempt) {  // the capture opens first
        answered = PeerResolvesVirtualRouter(*m_peer);
    }
    EXPECT_TRUE(answered);

    auto* respond = Control<QCheckBox>(&dialog, 1020);
    respond->click();
    EXPECT_EQ(uitest::IniValue("ARP", "Respond"), "No");
    EXPECT_FALSE(PeerResolvesVirtualRouter(*m_peer));

    respond->click();
    EXPECT_EQ(uitest::IniValue("ARP", "Respond"), "Yes");
    EXPECT_TRUE(PeerResolvesVirtualRouter(*m_peer));
}

TEST_F(VantrellDlgRun, StopThenStartReusesTheArpAgentAndClosingWritesNothing) {
    uitest::WriteIni(Settings(Mode::kUdp, false));
    {
        CVantrellDlg dialog;
        dialog.show();
        ASSERT_FALSE(CVantrellDlgProbe::Running(dialog));
        CArpAgent* agent = CVantrellDlgProbe::ArpAgent(dialog);
        ASSERT_NE(agent, nullptr);
        const int stoppedThreads = testsupport::ThreadCount();
        EXPECT_EQ(stoppedThreads, m_baseThreads + 2);

        for (int cycle = 0; cycle < 3; ++cycle) {
            Control<QPushButton>(&dialog, 1007)->click();
            ASSERT_TRUE(CVantrellDlgProbe::Running(dialog));
            EXPECT_EQ(CVantrellDlgProbe::ArpAgent(dialog), agent);
            EXPECT_NE(CVantrellDlgProbe::Forwarder(dialog), nullptr);
            EXPECT_NE(CVantrellDlgProbe::Injector(dialog), nullptr);
            EXPECT_TRUE(ThreadCountSettlesAt(stoppedThreads + 3));
            QTest::qWait(100);
            Control<QPushButton>(&dialog, 1008)->click();
            EXPECT_EQ(CVantrellDlgProbe::Forwarder(dialog), nullptr);
            EXPECT_EQ(CVantrellDlgProbe::Injector(dialog), nullptr);
            EXPECT_TRUE(ThreadCountSettlesAt(stoppedThreads)) << cycle;
        }
        // Start saved the ten text settings; the file keeps them as they were.
        EXPECT_EQ(uitest::IniValue("This End", "Adaptor"), kAdapterLabel);
        EXPECT_EQ(uitest::IniValue("Tunnel", "Port"), std::to_string(kTunnelPort));

        // Close while running: edits unsaved, nothing written, every thread ended.
        Control<QPushButton>(&dialog, 1007)->click();
        ASSERT_TRUE(CVantrellDlgProbe::Running(dialog));
        const std::string bytes = uitest::IniBytes();
        Control<QCheckBox>(&dialog, 1019)->setChecked(true);  // no click: no write
        dialog.close();
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(Control<QLabel>(&dialog, 1018)->text(), "Using UDP mode.");  // untouched
        EXPECT_EQ(uitest::IniBytes(), bytes);
    }
    EXPECT_TRUE(ThreadCountSettlesAt(m_baseThreads));
}

}  // namespace
