// The dialog without a network: the template (geometry, tab order, captions, states, window
// buttons), initialisation against the settings file, the mode rule while stopped, Start with no
// adapter, and the ways the window closes.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <cmath>
#include <vector>

#include "tests/ui/UiTestSupport.h"
#include "ui/IpAddressCtrl.h"

using uitest::Control;

namespace {

QRect FromDialogUnits(int x, int y, int width, int height) {
    auto h = [](int units) { return static_cast<int>(std::lround(units * 1.5)); };
    auto v = [](int units) { return static_cast<int>(std::lround(units * 1.625)); };
    return QRect(h(x), v(y), h(width), v(height));
}

TEST(VantrellDlgTemplate, GeometryFollowsTheDialogUnits) {
    uitest::CTempWorkDir dir;
    CVantrellDlg dialog;
    EXPECT_EQ(dialog.size(), QSize(383, 353));  // 255 x 217 units
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    EXPECT_EQ(Control(&dialog, 1000)->geometry(), FromDialogUnits(77, 73, 100, 15));
    EXPECT_EQ(Control(&dialog, 1005)->geometry(), FromDialogUnits(205, 161, 40, 14));
    EXPECT_EQ(Control(&dialog, 1008)->geometry(), FromDialogUnits(198, 90, 50, 14));
    EXPECT_EQ(Control(&dialog, 1018)->geometry(), FromDialogUnits(7, 202, 241, 8));
    EXPECT_EQ(Control(&dialog, 1020)->geometry(), FromDialogUnits(179, 32, 69, 10));
    // The drop-down list keeps the template's position and width; 83 units is its dropped height.
    const QRect list = Control(&dialog, 1010)->geometry();
    EXPECT_EQ(list.topLeft(), FromDialogUnits(77, 9, 171, 83).topLeft());
    EXPECT_EQ(list.width(), FromDialogUnits(77, 9, 171, 83).width());

    // Every caption fits inside its rectangle in the dialog's face.
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width())
            << label->text().toStdString();
    }
    for (QCheckBox* box : dialog.findChildren<QCheckBox*>()) {
        EXPECT_LE(box->sizeHint().width(), box->width()) << box->text().toStdString();
    }
}

TEST(VantrellDlgTemplate, TabOrderIsTemplateOrder) {
    uitest::CTempWorkDir dir;
    CVantrellDlg dialog;
    const std::vector<int> expected = {1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007,
                                       1008, 1010, 1013, 1014, 1016, 1017, 1019, 1020};
    std::vector<int> order;
    QWidget* widget = Control(&dialog, 1000);
    for (int i = 0; i < 200 && order.size() < expected.size(); ++i) {
        if ((widget->focusPolicy() & Qt::TabFocus) && widget->property("controlId").isValid()) {
            order.push_back(widget->property("controlId").toInt());
        }
        widget = widget->nextInFocusChain();
    }
    EXPECT_EQ(order, expected);
    // Labels and the status and arrow texts are no tab stops.
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
        EXPECT_FALSE(label->focusPolicy() & Qt::TabFocus) << label->objectName().toStdString();
    }
}

TEST(VantrellDlgTemplate, CaptionsStatesAndWindowButtons) {
    uitest::CTempWorkDir dir;
    CVantrellDlg dialog;  // not shown yet: as the template creates it
    EXPECT_EQ(dialog.windowTitle(), "Vantrell (v1.1)");
    const Qt::WindowFlags flags = dialog.windowFlags();
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(QIcon(":/icon/128").pixmap(32, 32).isNull());
    EXPECT_FALSE(QIcon(":/icon/128").pixmap(16, 16).isNull());

    EXPECT_EQ(Control<QPushButton>(&dialog, 1007)->text(), "Start");
    EXPECT_TRUE(Control(&dialog, 1007)->isEnabled());
    EXPECT_EQ(Control<QPushButton>(&dialog, 1008)->text(), "Stop");
    EXPECT_FALSE(Control(&dialog, 1008)->isEnabled());
    EXPECT_EQ(Control<QLabel>(&dialog, 1011)->text(), "=>");
    EXPECT_EQ(Control<QLabel>(&dialog, 1012)->text(), "=>");
    EXPECT_EQ(Control<QLabel>(&dialog, 1018)->text(), "Not Connected");
    const std::pair<int, const char*> boxes[] = {{1016, "TCP"},
                                                 {1017, "Initiate Connection"},
                                                 {1019, "Auto Start"},
                                                 {1020, "Respond to ARP"}};
    for (auto [id, caption] : boxes) {
        EXPECT_EQ(Control<QCheckBox>(&dialog, id)->text(), caption);
        EXPECT_FALSE(Control<QCheckBox>(&dialog, id)->isChecked()) << id;
    }
    EXPECT_FALSE(Control<QComboBox>(&dialog, 1010)->isEditable());
    for (int id : {1000, 1001, 1002, 1003, 1004, 1013}) {
        EXPECT_NE(Control<CIpAddressCtrl>(&dialog, id), nullptr) << id;
    }
    for (int id : {1005, 1006, 1014}) EXPECT_NE(Control<QLineEdit>(&dialog, id), nullptr) << id;
    EXPECT_EQ(uitest::IniBytes(), "");  // nothing is read before the window opens
}

TEST(VantrellDlgInit, FirstRunWritesEveryDefaultAndTheFirstTickBlanksTheArrows) {
    uitest::CTempWorkDir dir;
    CVantrellDlg dialog;
    dialog.show();
    EXPECT_FALSE(dialog.windowIcon().isNull());
    EXPECT_EQ(uitest::IniValue("This End", "IP"), "0.0.0.0");
    EXPECT_EQ(uitest::IniValue("Other End", "Mask"), "255.255.255.0");
    EXPECT_EQ(uitest::IniValue("This End", "Adaptor"), "");
    EXPECT_EQ(uitest::IniValue("Virtual", "MAC"), "00:D0:BE:D0:BE:D0");
    EXPECT_EQ(uitest::IniValue("ARP", "Respond"), "Yes");
    EXPECT_EQ(uitest::IniValue("Start", "Hide"), "No");
    EXPECT_EQ(Control<QLineEdit>(&dialog, 1005)->text(), "27659");
    EXPECT_EQ(Control<CIpAddressCtrl>(&dialog, 1001)->GetWindowText(), "255.255.255.0");
    EXPECT_TRUE(Control<QCheckBox>(&dialog, 1020)->isChecked());
    EXPECT_EQ(Control<QComboBox>(&dialog, 1010)->currentIndex(), -1);
    auto* incoming = Control<QLabel>(&dialog, 1012);
    auto* outgoing = Control<QLabel>(&dialog, 1011);
    EXPECT_TRUE(QTest::qWaitFor([&] { return incoming->text().isEmpty(); }, 2000));
    EXPECT_EQ(outgoing->text(), "");
}

TEST(VantrellDlgInit, SavedValuesGoIntoTheControls) {
    uitest::CTempWorkDir dir;
    uitest::WriteIni(
        "[This End]\nIP=10.1.2.0\n[Virtual]\nMAC=02:00:00:00:00:01\n"
        "[Tunnel]\nTCP=yes\nTCP Initiate=true\nPort=abc\n[ARP]\nRespond=No\n");
    CVantrellDlg dialog;
    dialog.show();
    EXPECT_EQ(Control<CIpAddressCtrl>(&dialog, 1000)->GetWindowText(), "10.1.2.0");
    EXPECT_EQ(Control<QLineEdit>(&dialog, 1014)->text(), "02:00:00:00:00:01");
    EXPECT_EQ(Control<QLineEdit>(&dialog, 1005)->text(), "abc");
    EXPECT_TRUE(Control<QCheckBox>(&dialog, 1016)->isChecked());   // "yes"
    EXPECT_FALSE(Control<QCheckBox>(&dialog, 1017)->isChecked());  // "true" is no
    EXPECT_FALSE(Control<QCheckBox>(&dialog, 1020)->isChecked());
    EXPECT_EQ(uitest::IniValue("Tunnel", "TCP"), "yes");  // written back unchanged
}

// While stopped: TCP initiator, TCP listener and UDP, reached by clicks, each click saved.
TEST(VantrellDlgModeRule, EachModeWhileStopped) {
    uitest::CTempWorkDir dir;
    CVantrellDlg dialog;
    dialog.show();
    auto* tcp = Control<QCheckBox>(&dialog, 1016);
    auto* initiate = Control<QCheckBox>(&dialog, 1017);
    auto enabled = [&](int id) { return Control(&dialog, id)->isEnabled(); };

    // UDP (the default): "Initiate Connection" hidden, 1004-1006 all enabled.
    EXPECT_FALSE(initiate->isVisible());
    EXPECT_TRUE(enabled(1004) && enabled(1005) && enabled(1006));

    tcp->click();  // TCP listener
    EXPECT_EQ(uitest::IniValue("Tunnel", "TCP"), "Yes");
    EXPECT_TRUE(initiate->isVisible());
    EXPECT_FALSE(enabled(1004));
    EXPECT_FALSE(enabled(1005));
    EXPECT_TRUE(enabled(1006));

    initiate->click();  // TCP initiator
    EXPECT_EQ(uitest::IniValue("Tunnel", "TCP Initiate"), "Yes");
    EXPECT_TRUE(enabled(1004));
    EXPECT_TRUE(enabled(1005));
    EXPECT_FALSE(enabled(1006));

    tcp->click();  // back to UDP; the initiate box keeps its state while hidden
    EXPECT_EQ(uitest::IniValue("Tunnel", "TCP"), "No");
    EXPECT_FALSE(initiate->isVisible());
    EXPECT_TRUE(initiate->isChecked());
    EXPECT_TRUE(enabled(1004) && enabled(1005) && enabled(1006));

    Control<QCheckBox>(&dialog, 1019)->click();
    EXPECT_EQ(uitest::IniValue("Start", "Autostart"), "Yes");
    Control<QCheckBox>(&dialog, 1020)->click();
    EXPECT_EQ(uitest::IniValue("ARP", "Respond"), "No");
}

TEST(VantrellDlgStart, WithoutASelectedAdapterChangesNothing) {
    uitest::CTempWorkDir dir;
    CVantrellDlg dialog;
    dialog.show();
    // Edit every text so that a write at Start would show in the file.
    Control<CIpAddressCtrl>(&dialog, 1000)->SetWindowText("10.9.8.0");
    Control<QLineEdit>(&dialog, 1006)->setText("4000");
    Control<QLineEdit>(&dialog, 1014)->setText("02:02:02:02:02:02");
    ASSERT_EQ(Control<QComboBox>(&dialog, 1010)->currentIndex(), -1);
    QTest::qWait(250);  // let the first ticks blank the arrows

    const std::string bytes = uitest::IniBytes();
    const std::string states = uitest::ControlStates(&dialog);
    const int threads = testsupport::ThreadCount();
    Control<QPushButton>(&dialog, 1007)->click();
    QTest::qWait(250);
    EXPECT_EQ(uitest::IniBytes(), bytes);
    EXPECT_EQ(uitest::ControlStates(&dialog), states);
    EXPECT_EQ(testsupport::ThreadCount(), threads);
    EXPECT_FALSE(CVantrellDlgProbe::Running(dialog));
    EXPECT_EQ(CVantrellDlgProbe::Forwarder(dialog), nullptr);
}

// Enter in a field ends the dialog (there is no default button), Escape and the close box too;
// edits that Start never confirmed are not saved.
TEST(VantrellDlgClose, EnterEscapeAndCloseBoxWriteNothing) {
    uitest::CTempWorkDir dir;
    for (int way = 0; way < 3; ++way) {
        CVantrellDlg dialog;
        dialog.show();
        const std::string bytes = uitest::IniBytes();
        auto* port = Control<QLineEdit>(&dialog, 1006);
        port->setText("1234");
        port->setFocus();
        if (way == 0) QTest::keyClick(port, Qt::Key_Return);
        if (way == 1) QTest::keyClick(port, Qt::Key_Escape);
        if (way == 2) dialog.close();
        EXPECT_FALSE(dialog.isVisible()) << way;
        EXPECT_EQ(dialog.result(), way == 0 ? QDialog::Accepted : QDialog::Rejected) << way;
        EXPECT_EQ(uitest::IniBytes(), bytes) << way;
        EXPECT_EQ(uitest::IniValue("Listen", "Port"), "27659");
    }
    // Enter on a push button with the focus presses that button; on a check box it ends the
    // dialog as in a field.
    CVantrellDlg dialog;
    dialog.show();
    auto* start = Control<QPushButton>(&dialog, 1007);
    QSignalSpy pressed(start, &QPushButton::clicked);
    start->setFocus();
    QTest::keyClick(start, Qt::Key_Return);
    EXPECT_EQ(pressed.count(), 1);
    EXPECT_TRUE(dialog.isVisible());
    auto* tcpBox = Control<QCheckBox>(&dialog, 1016);
    tcpBox->setFocus();
    QTest::keyClick(tcpBox, Qt::Key_Return);
    EXPECT_FALSE(dialog.isVisible());
}

}  // namespace
