#include "ui/VantrellDlg.h"

#include <string.h>

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

#include "engine/arp/MacAddress.h"
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

// The status line's sentence for a LAN card that is not capturing; empty while it is.
QString CardSentence(CLanCard::State state) {
    switch (state) {
        case CLanCard::State::kUp:
            return QString();
        case CLanCard::State::kLost:
            return QStringLiteral("LAN card lost: waiting for it to return.");
        case CLanCard::State::kNoPrivileges:
            return QStringLiteral("LAN card not opened: missing privileges.");
        case CLanCard::State::kNoSuchCard:
            return QStringLiteral("LAN card not opened: no such card.");
        case CLanCard::State::kDown:
            return QStringLiteral("LAN card not opened: the card is down.");
        case CLanCard::State::kNotOpened:
            break;
    }
    return QStringLiteral("LAN card not opened: capture failed.");
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
    // Between the "Auto Start" row and the status line, right-aligned; hidden until a sealed
    // Start.
    m_sealed = new QLabel(QStringLiteral("Sealed"), this);
    m_sealed->setObjectName(QStringLiteral("SealedIndicator"));
    m_sealed->setGeometry(303, 313, 70, 13);
    m_sealed->setAlignment(Qt::AlignRight | Qt::AlignTop);
    m_sealed->setToolTip(
        QStringLiteral("The tunnel is encrypted and authenticated ([Tunnel] Key)"));
    m_sealed->hide();
}

CVantrellDlg::~CVantrellDlg() {
    m_notifier.Stopping();
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
    DoDataExchange();
    setWindowIcon(m_icon);  // one QIcon holds the big and the small size

    // Each setting is read (and so written back when missing) and shown.
    m_thisSubnet->SetWindowText(QString::fromStdString(ReadSetting("This End", "IP", "0.0.0.0")));
    m_thisNetmask->SetWindowText(
        QString::fromStdString(ReadSetting("This End", "Mask", "255.255.255.0")));
    m_otherSubnet->SetWindowText(QString::fromStdString(ReadSetting("Other End", "IP", "0.0.0.0")));
    m_otherNetmask->SetWindowText(
        QString::fromStdString(ReadSetting("Other End", "Mask", "255.255.255.0")));
    m_tunnelIp->SetWindowText(QString::fromStdString(ReadSetting("Tunnel", "IP", "0.0.0.0")));
    m_tunnelPort->setText(QString::fromStdString(ReadSetting("Tunnel", "Port", "27659")));
    m_listenPort->setText(QString::fromStdString(ReadSetting("Listen", "Port", "27659")));

    // The adapters, shown in the list's own (sorted) order, then the saved one selected.
    m_adapters.FillAdapterList();
    for (int position = 0; position < m_adapters.Count(); ++position) {
        m_adapterList->addItem(QString::fromStdString(m_adapters.Label(position)));
    }
    m_adapters.SelectSavedAdapter(ReadSetting("This End", "Adaptor", ""));
    m_adapterList->setCurrentIndex(m_adapters.Selection());  // -1: nothing selected
    connect(m_adapterList, &QComboBox::currentIndexChanged, this,
            [this](int position) { m_adapters.Select(position); });

    m_virtualIp->SetWindowText(QString::fromStdString(ReadSetting("Virtual", "IP", "0.0.0.0")));
    m_virtualMac->setText(
        QString::fromStdString(ReadSetting("Virtual", "MAC", "00:D0:BE:D0:BE:D0")));

    startTimer(kTimerPeriodMs);  // until the window is destroyed

    // Setting a check does not run its click handler, so nothing is written back here.
    if (IsYes(ReadSetting("Tunnel", "TCP", "No"))) m_tcp->setChecked(true);
    if (IsYes(ReadSetting("Tunnel", "TCP Initiate", "No"))) m_initiateConnection->setChecked(true);
    if (IsYes(ReadSetting("ARP", "Respond", "Yes"))) m_respondToArp->setChecked(true);
    UpdateModeControls();

    m_engine.LaunchLink();  // idle until Start arms it

    if (IsYes(ReadSetting("Start", "Autostart", "No"))) {
        m_autoStart->setChecked(true);
        OnStart();
    }
    ReadSetting("Start", "Hide", "No");  // read only so that it is written back when missing

    // The service manager (if any) learns that the dialog is up, started or not.
    m_notifier.Ready(m_status->text().toStdString());
    return true;
}

void CVantrellDlg::OnStart() {
    // Without an adapter nothing is written, changed or started.
    pcap_if_t* adapter = m_adapters.SelectedAdapter();
    if (adapter == nullptr) {
        LogLine(QStringLiteral("Start: no LAN card selected"));
        return;
    }
    LogLine(QStringLiteral("Start"));
    // A key that does not parse refuses Start: never run unsealed by mistake.
    seal::CTunnelKey key;
    if (!ReadTunnelKey(key)) return;

    // The ten text settings, in this order.
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

    // Checked before anything is locked: without a valid virtual MAC the engine starts nothing
    // (the forwarder could not filter), so the dialog stays stopped and says why (standard error
    // has the details). The engine reads the same text into the one value that its ARP answers
    // and its capture filter use.
    const std::string macText = CutText(m_virtualMac->text(), kMacBufferSize);
    CMacAddress virtualMac;
    const CMacAddress::Problem problem = virtualMac.Parse(macText.c_str());
    if (problem != CMacAddress::Problem::kNone) {
        std::fprintf(stderr, "\nThe virtual MAC address \"%s\" %s: the tunnel is not started.\n",
                     macText.c_str(), CMacAddress::Describe(problem));
        SetStatus(QStringLiteral("Not started: the virtual MAC address is not valid."));
        return;
    }

    // Lock the configuration; "Auto Start" and "Respond to ARP" stay enabled.
    m_stopButton->setEnabled(true);
    m_startButton->setEnabled(false);
    SetConfigurationEnabled(false);

    CTunnelEngine::Settings settings;
    settings.thisSubnet = Address(m_thisSubnet);
    settings.thisMask = Address(m_thisNetmask);
    settings.otherSubnet = Address(m_otherSubnet);
    settings.otherMask = Address(m_otherNetmask);
    settings.tunnelAddress = Address(m_tunnelIp);
    settings.tunnelPort = Port(m_tunnelPort);
    settings.listenPort = Port(m_listenPort);
    settings.virtualAddress = Address(m_virtualIp);
    settings.virtualMac = macText;
    settings.adapter = adapter;
    settings.respond = m_respondToArp->isChecked();
    settings.key = key;
    if (!m_tcp->isChecked()) {
        settings.mode = CTunnelEngine::Mode::kUdp;
    } else if (m_initiateConnection->isChecked()) {
        settings.mode = CTunnelEngine::Mode::kTcpInitiator;
    } else {
        settings.mode = CTunnelEngine::Mode::kTcpListener;
    }
    m_engine.SetSettings(settings);
    m_engine.Start();
    if (settings.mode == CTunnelEngine::Mode::kUdp) {
        SetStatus(QString::fromStdString(m_engine.UdpStatus()));
    }
    m_sealed->setVisible(key.IsSet());
    m_sealProblemShown = false;
}

bool CVantrellDlg::ReadTunnelKey(seal::CTunnelKey& key) {
    std::string text = PeekSetting("Tunnel", "Key", "");
    if (text.empty()) return true;  // unsealed, as designed
    std::string error;
    const bool parsed = seal::CTunnelKey::Parse(text, key, error);
    explicit_bzero(text.data(), text.size());
    if (!parsed) {
        // The sentence names what is wrong, never the text.
        std::fprintf(stderr, "Vantrell: not started: %s\n", error.c_str());
        SetStatus(QStringLiteral("Not started: the [Tunnel] Key setting is not a key"));
        return false;
    }
    if (SettingsReadableByOthers()) {
        std::fprintf(stderr,
                     "Vantrell: warning: %s holds the tunnel key and others may read it "
                     "(chmod 600 %s).\n",
                     SettingsFileName, SettingsFileName);
    }
    return true;
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
    // Unlock, then the mode rule disables again what the mode does not use.
    m_stopButton->setEnabled(false);
    m_startButton->setEnabled(true);
    SetConfigurationEnabled(true);
    UpdateModeControls();

    m_engine.Stop();
    m_sealed->hide();
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
    if (m_engine.IsRunning()) {
        m_incomingArrow->setText(m_engine.TakeInjectedBytes() > 0 ? kArrow : QString());
        m_outgoingArrow->setText(m_engine.TakeForwardedBytes() > 0 ? kArrow : QString());
        // A card that is away (or was never opened) speaks first, then why a sealed tunnel
        // carries nothing, then the mode's own sentence, which comes back as soon as neither
        // holds.
        const QString card = CardSentence(m_engine.GetCardState());
        const std::string problem = m_engine.PollSealProblem();
        if (!card.isEmpty()) {
            SetStatus(card);
        } else if (!problem.empty()) {
            SetStatus(QString::fromStdString(problem));
        } else if (m_tcp->isChecked()) {
            CTcpLink& link = m_engine.Link();
            if (link.GetStatusCode() != CTcpLink::Status::kConnected) {
                SetStatus(QString::fromStdString(link.GetStatusText()));
            } else {
                SetStatus(QStringLiteral("Connected"));
            }
        } else {
            SetStatus(QString::fromStdString(m_engine.UdpStatus()));
        }
        m_sealProblemShown = !problem.empty();
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
    m_engine.SetRespond(m_respondToArp->isChecked());
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
