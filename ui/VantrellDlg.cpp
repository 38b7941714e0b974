#include "ui/VantrellDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFont>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QTimerEvent>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/ArpAgent.h"
#include "engine/LanToTunnel.h"
#include "engine/TunnelToLan.h"
#include "ui/IpAddressCtrl.h"
#include "ui/Settings.h"
#include "ui_VantrellDlg.h"

namespace {

constexpr int kTextBufferSize = 300;  // every window text is read through this many bytes
constexpr int kMacBufferSize = 30;    // the MAC text: at most 29 characters reach the engine
constexpr int kTimerPeriodMs = 100;

// A window text as a fixed buffer of `bufferSize` bytes would hold it: at most bufferSize - 1
// bytes, cut at a character boundary so the result stays valid UTF-8.
std::string CutText(const QString& text, int bufferSize) {
    QByteArray bytes = text.toUtf8();
    int length = static_cast<int>(bytes.size());
    if (length > bufferSize - 1) {
        length = bufferSize - 1;
        while (length > 0 && (static_cast<unsigned char>(bytes[length]) & 0xC0) == 0x80) --length;
    }
    return std::string(bytes.constData(), static_cast<std::size_t>(length));
}

std::string WindowText(const QLineEdit* edit) {
    return CutText(edit->text(), kTextBufferSize);
}
std::string WindowText(const CIpAddressCtrl* address) {
    return CutText(address->GetWindowText(), kTextBufferSize);
}

// The port of an edit box: its leading decimal digits as atoi reads them, 0 when there are none.
int Port(const QLineEdit* edit) {
    return std::atoi(WindowText(edit).c_str());
}

std::uint32_t Address(const CIpAddressCtrl* address) {
    std::uint32_t value = 0;
    address->GetAddress(&value);  // the number of filled fields is not looked at
    return value;
}

// One line of the operator's log: standard error, which a service manager's journal keeps.
void LogLine(const QString& text) {
    std::fprintf(stderr, "%s\n", text.toUtf8().constData());
}

template <typename T>
T* Control(QDialog* dialog, int id) {
    T* control = dialog->findChild<T*>(QStringLiteral("IDC_%1").arg(id));
    Q_ASSERT(control != nullptr && control->property("controlId").toInt() == id);
    return control;
}

}  // namespace

CVantrellDlg::CVantrellDlg(QWidget* parent) : QDialog(parent) {
    // Dialog template 102: the controls, their captions, states, geometry and tab order.
    Ui::VantrellDlg layout;
    layout.setupUi(this);
    // Caption, close box and minimise box; no maximise box, no help button; fixed size.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(size());
    // The layout's widths were made for a narrow 8-point face; a semi-condensed 8-point sans
    // (at 7.5 points, as DejaVu-like faces run large) keeps every caption inside its rectangle.
    QFont face = font();
    face.setStretch(QFont::SemiCondensed);
    face.setPointSizeF(7.5);
    setFont(face);
    // The arrows' rectangles are 9 and 11 units wide: "=>" fits only set a little tighter.
    for (QLabel* arrow : {layout.IDC_1011, layout.IDC_1012}) {
        QFont tight = face;
        tight.setLetterSpacing(QFont::AbsoluteSpacing, -1);
        arrow->setFont(tight);
    }
    m_icon = QIcon(QStringLiteral(":/icon/128"));
}

CVantrellDlg::~CVantrellDlg() {
    m_notifier.Stopping();
    // The injector sends through the ARP agent's capture and both packet workers use the link,
    // so they end first; each worker is joined before the next one is touched.
    if (m_tunnelToLan != nullptr) {
        m_tunnelToLan->RequestStop();
        m_tunnelToLan->Join();
        delete m_tunnelToLan;
        m_tunnelToLan = nullptr;
    }
    if (m_lanToTunnel != nullptr) {
        m_lanToTunnel->RequestStop();
        m_lanToTunnel->Join();
        delete m_lanToTunnel;
        m_lanToTunnel = nullptr;
    }
    m_link.RequestStop();
    m_link.Join();
    if (m_arpAgent != nullptr) {
        m_arpAgent->RequestStop();
        m_arpAgent->Join();
        delete m_arpAgent;
        m_arpAgent = nullptr;
    }
}

void CVantrellDlg::DoDataExchange() {
    m_respondToArp = Control<QCheckBox>(this, 1020);
    m_autoStart = Control<QCheckBox>(this, 1019);
    m_status = Control<QLabel>(this, 1018);
    m_initiateConnection = Control<QCheckBox>(this, 1017);
    m_tcp = Control<QCheckBox>(this, 1016);
    m_virtualMac = Control<QLineEdit>(this, 1014);
    m_virtualIp = Control<CIpAddressCtrl>(this, 1013);
    m_incomingArrow = Control<QLabel>(this, 1012);
    m_outgoingArrow = Control<QLabel>(this, 1011);
    m_adapterList = Control<QComboBox>(this, 1010);
    m_stopButton = Control<QPushButton>(this, 1008);
    m_startButton = Control<QPushButton>(this, 1007);
    m_listenPort = Control<QLineEdit>(this, 1006);
    m_tunnelPort = Control<QLineEdit>(this, 1005);
    m_tunnelIp = Control<CIpAddressCtrl>(this, 1004);
    m_otherNetmask = Control<CIpAddressCtrl>(this, 1003);
    m_otherSubnet = Control<CIpAddressCtrl>(this, 1002);
    m_thisSubnet = Control<CIpAddressCtrl>(this, 1000);
    m_thisNetmask = Control<CIpAddressCtrl>(this, 1001);

    connect(m_startButton, &QPushButton::clicked, this, &CVantrellDlg::OnStart);
    connect(m_stopButton, &QPushButton::clicked, this, &CVantrellDlg::OnStop);
    connect(m_tcp, &QCheckBox::clicked, this, &CVantrellDlg::OnTcp);
    connect(m_initiateConnection, &QCheckBox::clicked, this, &CVantrellDlg::OnInitiateConnection);
    connect(m_autoStart, &QCheckBox::clicked, this, &CVantrellDlg::OnAutoStart);
    connect(m_respondToArp, &QCheckBox::clicked, this, &CVantrellDlg::OnRespondToArp);
}

bool CVantrellDlg::OnInitDialog() {
    // 1. Bind the controls.
    DoDataExchange();

    // 2. The icon, big and small (one QIcon holds both sizes).
    setWindowIcon(m_icon);

    // 3. Addresses and ports, each read (and so written back) and shown.
    m_thisSubnet->SetWindowText(QString::fromStdString(ReadSetting("This End", "IP", "0.0.0.0")));
    m_thisNetmask->SetWindowText(
        QString::fromStdString(ReadSetting("This End", "Mask", "255.255.255.0")));
    m_otherSubnet->SetWindowText(QString::fromStdString(ReadSetting("Other End", "IP", "0.0.0.0")));
    m_otherNetmask->SetWindowText(
        QString::fromStdString(ReadSetting("Other End", "Mask", "255.255.255.0")));
    m_tunnelIp->SetWindowText(QString::fromStdString(ReadSetting("Tunnel", "IP", "0.0.0.0")));
    m_tunnelPort->setText(QString::fromStdString(ReadSetting("Tunnel", "Port", "27659")));
    m_listenPort->setText(QString::fromStdString(ReadSetting("Listen", "Port", "27659")));

    // 4. The adapters, shown in the list's own (sorted) order, then the saved one selected.
    m_adapters.FillAdapterList();
    for (int position = 0; position < m_adapters.Count(); ++position) {
        m_adapterList->addItem(QString::fromStdString(m_adapters.Label(position)));
    }
    m_adapters.SelectSavedAdapter(ReadSetting("This End", "Adaptor", ""));
    m_adapterList->setCurrentIndex(m_adapters.Selection());  // -1: nothing selected
    connect(m_adapterList, &QComboBox::currentIndexChanged, this,
            [this](int position) { m_adapters.Select(position); });

    // 5. The virtual router.
    m_virtualIp->SetWindowText(QString::fromStdString(ReadSetting("Virtual", "IP", "0.0.0.0")));
    m_virtualMac->setText(
        QString::fromStdString(ReadSetting("Virtual", "MAC", "00:D0:BE:D0:BE:D0")));

    // 6. The one ARP agent of the dialog's life.
    m_arpAgent = new CArpAgent();
    m_running = false;

    // 7. The 100 ms timer, until the window is destroyed.
    startTimer(kTimerPeriodMs);

    // 8. Mode and ARP boxes; setting a check does not run its click handler.
    if (IsYes(ReadSetting("Tunnel", "TCP", "No"))) m_tcp->setChecked(true);
    if (IsYes(ReadSetting("Tunnel", "TCP Initiate", "No"))) m_initiateConnection->setChecked(true);
    if (IsYes(ReadSetting("ARP", "Respond", "Yes"))) m_respondToArp->setChecked(true);

    // 9.
    UpdateModeControls();

    // 10. The link idles until Start arms it.
    m_link.Launch();

    // 11.
    if (IsYes(ReadSetting("Start", "Autostart", "No"))) {
        m_autoStart->setChecked(true);
        OnStart();
    }

    // 12. Read only so that it is written back.
    ReadSetting("Start", "Hide", "No");

    // The service manager (if any) learns that the dialog is up, started or not.
    m_notifier.Ready(m_status->text().toStdString());

    // 13.
    return true;
}

void CVantrellDlg::OnStart() {
    // 1. Without an adapter nothing is written, changed or started.
    pcap_if_t* adapter = m_adapters.SelectedAdapter();
    if (adapter == nullptr) {
        LogLine(QStringLiteral("Start: no LAN card selected"));
        return;
    }
    LogLine(QStringLiteral("Start"));

    // 2. The ten text settings, in this order.
    WriteSetting("This End", "IP", WindowText(m_thisSubnet).c_str());
    WriteSetting("This End", "Mask", WindowText(m_thisNetmask).c_str());
    WriteSetting("Other End", "IP", WindowText(m_otherSubnet).c_str());
    WriteSetting("Other End", "Mask", WindowText(m_otherNetmask).c_str());
    WriteSetting("Tunnel", "IP", WindowText(m_tunnelIp).c_str());
    WriteSetting("Tunnel", "Port", WindowText(m_tunnelPort).c_str());
    WriteSetting("Listen", "Port", WindowText(m_listenPort).c_str());
    WriteSetting("This End", "Adaptor",
                 CutText(m_adapterList->currentText(), kTextBufferSize).c_str());
    WriteSetting("Virtual", "IP", WindowText(m_virtualIp).c_str());
    WriteSetting("Virtual", "MAC", WindowText(m_virtualMac).c_str());

    // 3. Lock the configuration; "Auto Start" and "Respond to ARP" stay enabled.
    m_stopButton->setEnabled(true);
    m_startButton->setEnabled(false);
    SetConfigurationEnabled(false);

    // 4.
    const std::string macText = CutText(m_virtualMac->text(), kMacBufferSize);
    const std::uint32_t virtualIp = Address(m_virtualIp);

    // 5. The ARP agent first: the injector copies its virtual MAC when it is constructed.
    m_arpAgent->SetRespond(m_respondToArp->isChecked());
    m_arpAgent->SetVirtualRouter(virtualIp, macText.c_str());
    m_arpAgent->SetAdapter(adapter);
    m_arpAgent->Launch();

    // 6. The tunnel mode.
    const bool tcp = m_tcp->isChecked();
    if (tcp && m_initiateConnection->isChecked()) {
        m_link.ArmInitiator(Address(m_tunnelIp), Port(m_tunnelPort));
    } else if (tcp) {
        m_link.ArmListener(Port(m_listenPort));
    } else {
        SetStatus(QStringLiteral("Using UDP mode."));
    }

    // 7. The forwarder.
    m_lanToTunnel = new CLanToTunnel(Address(m_tunnelIp), Port(m_tunnelPort));
    m_lanToTunnel->SetAdapter(adapter);
    m_lanToTunnel->SetSubnets(Address(m_thisSubnet), Address(m_thisNetmask), Address(m_otherSubnet),
                              Address(m_otherNetmask), macText.c_str());
    if (tcp) m_lanToTunnel->SetTcpLink(&m_link);
    m_lanToTunnel->Launch();

    // 8. The injector.
    m_tunnelToLan = new CTunnelToLan(Port(m_listenPort), m_arpAgent);
    m_tunnelToLan->SetAdapter(adapter);  // its MTU bounds the frames injected
    if (tcp) m_tunnelToLan->SetTcpLink(&m_link);
    m_tunnelToLan->Launch();

    // 9.
    m_running = true;
}

// Start locks and Stop unlocks these, in this order: 1000-1006, 1010, 1014, 1013, 1016, 1017.
void CVantrellDlg::SetConfigurationEnabled(bool enabled) {
    for (QWidget* control :
         {static_cast<QWidget*>(m_thisSubnet), static_cast<QWidget*>(m_thisNetmask),
          static_cast<QWidget*>(m_otherSubnet), static_cast<QWidget*>(m_otherNetmask),
          static_cast<QWidget*>(m_tunnelIp), static_cast<QWidget*>(m_tunnelPort),
          static_cast<QWidget*>(m_listenPort), static_cast<QWidget*>(m_adapterList),
          static_cast<QWidget*>(m_virtualMac), static_cast<QWidget*>(m_virtualIp),
          static_cast<QWidget*>(m_tcp), static_cast<QWidget*>(m_initiateConnection)}) {
        control->setEnabled(enabled);
    }
}

void CVantrellDlg::OnStop() {
    LogLine(QStringLiteral("Stop"));
    // 1.
    m_running = false;

    // 2. Unlock; 3. then the mode rule disables again what the mode does not use.
    m_stopButton->setEnabled(false);
    m_startButton->setEnabled(true);
    SetConfigurationEnabled(true);
    UpdateModeControls();

    // 4. The injector ends before the ARP agent's thread closes the capture it injects
    // through; each worker is joined before the next one is asked to stop.
    if (m_tunnelToLan != nullptr) {
        m_tunnelToLan->RequestStop();
        m_tunnelToLan->Join();
    }
    if (m_lanToTunnel != nullptr) {
        m_lanToTunnel->RequestStop();
        m_lanToTunnel->Join();
    }
    m_arpAgent->RequestStop();
    m_arpAgent->Join();

    // 5. The ARP agent stays, with the neighbours it has learnt, for the next Start.
    delete m_tunnelToLan;
    m_tunnelToLan = nullptr;
    delete m_lanToTunnel;
    m_lanToTunnel = nullptr;

    // 6. The link's thread keeps running, idle.
    m_link.Reset();

    // 7.
    SetStatus(QStringLiteral("Not Connected"));
}

void CVantrellDlg::SetStatus(const QString& text) {
    if (m_status->text() == text) return;
    m_status->setText(text);
    LogLine(text);
    m_notifier.Status(text.toStdString());
}

void CVantrellDlg::OnTimer(int /*timerId*/) {
    static const QString kArrow = QStringLiteral("=>");
    if (m_running) {
        m_incomingArrow->setText(m_tunnelToLan->TakeByteCount() > 0 ? kArrow : QString());
        m_outgoingArrow->setText(m_lanToTunnel->TakeByteCount() > 0 ? kArrow : QString());
        if (m_tcp->isChecked()) {
            if (m_link.GetStatusCode() != 0) {
                SetStatus(QString::fromStdString(m_link.GetStatusText()));
            } else {
                SetStatus(QStringLiteral("Connected"));
            }
        }
    } else {
        m_incomingArrow->setText(QString());
        m_outgoingArrow->setText(QString());
    }
    m_notifier.Watchdog(std::chrono::steady_clock::now());
}

void CVantrellDlg::UpdateModeControls() {
    if (m_tcp->isChecked()) {
        m_initiateConnection->setVisible(true);
        const bool initiate = m_initiateConnection->isChecked();
        m_tunnelIp->setEnabled(initiate);
        m_tunnelPort->setEnabled(initiate);
        m_listenPort->setEnabled(!initiate);
    } else {
        m_initiateConnection->setVisible(false);
        m_tunnelIp->setEnabled(true);
        m_tunnelPort->setEnabled(true);
        m_listenPort->setEnabled(true);
    }
}

void CVantrellDlg::OnTcp() {
    WriteSetting("Tunnel", "TCP", YesNo(m_tcp->isChecked()));
    UpdateModeControls();
}

void CVantrellDlg::OnInitiateConnection() {
    WriteSetting("Tunnel", "TCP Initiate", YesNo(m_initiateConnection->isChecked()));
    UpdateModeControls();
}

void CVantrellDlg::OnAutoStart() {
    WriteSetting("Start", "Autostart", YesNo(m_autoStart->isChecked()));
}

void CVantrellDlg::OnRespondToArp() {
    // Takes effect at once, also while running: the agent's thread reads the flag per request.
    if (m_arpAgent != nullptr) m_arpAgent->SetRespond(m_respondToArp->isChecked());
    WriteSetting("ARP", "Respond", YesNo(m_respondToArp->isChecked()));
}

void CVantrellDlg::showEvent(QShowEvent* event) {
    if (!m_initialised) {
        m_initialised = true;
        // True: QDialog gives the keyboard focus to the first enabled tab stop once shown.
        OnInitDialog();
    }
    QDialog::showEvent(event);
}

void CVantrellDlg::timerEvent(QTimerEvent* event) {
    OnTimer(event->timerId());
    QDialog::timerEvent(event);
}

void CVantrellDlg::keyPressEvent(QKeyEvent* event) {
    // There is no default button: Enter in a field ends the dialog as Escape does (a push button
    // with the focus takes Enter itself and never passes it here). Nothing is written.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
