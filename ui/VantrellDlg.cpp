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
#include <string>
#include <string_view>

#include "panel/ControlText.h"
#include "panel/SettingsTable.h"
#include "panel/StartForm.h"
#include "ui/IpAddressCtrl.h"
#include "ui_VantrellDlg.h"

namespace {

constexpr int kTimerPeriodMs = 100;

// A window text as a fixed buffer of `bufferSize` bytes would hold it (panel::CutText).
std::string CutText(const QString& text, int bufferSize = panel::kTextBufferSize) {
    const QByteArray bytes = text.toUtf8();
    return panel::CutText(
        std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())), bufferSize);
}

QString ReadText(panel::Key key) {
    return QString::fromStdString(panel::Read(key));
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
    m_statusLine.Stopping();
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
    using panel::Key;
    m_thisSubnet->SetWindowText(ReadText(Key::kThisIp));
    m_thisNetmask->SetWindowText(ReadText(Key::kThisMask));
    m_otherSubnet->SetWindowText(ReadText(Key::kOtherIp));
    m_otherNetmask->SetWindowText(ReadText(Key::kOtherMask));
    m_tunnelIp->SetWindowText(ReadText(Key::kTunnelIp));
    m_tunnelPort->setText(ReadText(Key::kTunnelPort));
    m_listenPort->setText(ReadText(Key::kListenPort));

    // The adapters, shown in the list's own (sorted) order, then the saved one selected.
    m_adapters.FillAdapterList();
    for (int position = 0; position < m_adapters.Count(); ++position) {
        m_adapterList->addItem(QString::fromStdString(m_adapters.Label(position)));
    }
    m_adapters.SelectSavedAdapter(panel::Read(Key::kAdaptor));
    m_adapterList->setCurrentIndex(m_adapters.Selection());  // -1: nothing selected
    connect(m_adapterList, &QComboBox::currentIndexChanged, this,
            [this](int position) { m_adapters.Select(position); });

    m_virtualIp->SetWindowText(ReadText(Key::kVirtualIp));
    m_virtualMac->setText(ReadText(Key::kVirtualMac));

    startTimer(kTimerPeriodMs);  // until the window is destroyed

    // Setting a check does not run its click handler, so nothing is written back here.
    if (panel::ReadYes(Key::kTcp)) m_tcp->setChecked(true);
    if (panel::ReadYes(Key::kTcpInitiate)) m_initiateConnection->setChecked(true);
    if (panel::ReadYes(Key::kRespond)) m_respondToArp->setChecked(true);
    UpdateModeControls();

    m_engine.LaunchLink();  // idle until Start arms it
    m_statusService.Open();

    if (panel::ReadYes(Key::kAutostart)) {
        m_autoStart->setChecked(true);
        OnStart();
    }
    panel::Read(Key::kHide);  // read only so that it is written back when missing

    // The service manager (if any) learns that the dialog is up, started or not.
    m_statusLine.Ready();
    return true;
}

void CVantrellDlg::OnStart() {
    // Without an adapter nothing is written, changed or started.
    pcap_if_t* adapter = m_adapters.SelectedAdapter();
    if (adapter == nullptr) {
        panel::CStatusLine::Log(panel::kNoCardLine);
        return;
    }
    panel::CStatusLine::Log(panel::kStartLine);

    // The ten window texts and the three boxes; Start's checks and writes are the form's.
    using panel::Key;
    panel::CStartForm form;
    form.Text(Key::kThisIp) = CutText(m_thisSubnet->GetWindowText());
    form.Text(Key::kThisMask) = CutText(m_thisNetmask->GetWindowText());
    form.Text(Key::kOtherIp) = CutText(m_otherSubnet->GetWindowText());
    form.Text(Key::kOtherMask) = CutText(m_otherNetmask->GetWindowText());
    form.Text(Key::kTunnelIp) = CutText(m_tunnelIp->GetWindowText());
    form.Text(Key::kTunnelPort) = CutText(m_tunnelPort->text());
    form.Text(Key::kListenPort) = CutText(m_listenPort->text());
    form.Text(Key::kAdaptor) = CutText(m_adapterList->currentText());
    form.Text(Key::kVirtualIp) = CutText(m_virtualIp->GetWindowText());
    form.Text(Key::kVirtualMac) = CutText(m_virtualMac->text());
    form.tcp = m_tcp->isChecked();
    form.initiate = m_initiateConnection->isChecked();
    form.respond = m_respondToArp->isChecked();
    CTunnelEngine::Settings settings;
    std::string refusal;
    // A refusal leaves the dialog stopped, saying why, before anything is locked.
    if (!form.Prepare(adapter, settings, refusal)) {
        SetStatus(QString::fromStdString(refusal));
        return;
    }

    // Lock the configuration; "Auto Start" and "Respond to ARP" stay enabled.
    m_stopButton->setEnabled(true);
    m_startButton->setEnabled(false);
    SetConfigurationEnabled(false);

    m_engine.SetSettings(settings);
    m_engine.Start();
    if (settings.mode == CTunnelEngine::Mode::kUdp) {
        SetStatus(QString::fromStdString(m_engine.UdpStatus()));
    }
    m_sealed->setVisible(settings.key.IsSet());
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
    panel::CStatusLine::Log(panel::kStopLine);
    // Unlock, then the mode rule disables again what the mode does not use.
    m_stopButton->setEnabled(false);
    m_startButton->setEnabled(true);
    SetConfigurationEnabled(true);
    UpdateModeControls();

    m_engine.Stop();
    m_sealed->hide();
    SetStatus(QString::fromUtf8(panel::kNotConnected));
}

void CVantrellDlg::SetStatus(const QString& text) {
    if (!m_statusLine.Set(text.toStdString())) return;
    m_status->setText(text);
}

void CVantrellDlg::OnTimer(int /*timerId*/) {
    static const QString kArrow = QStringLiteral("=>");
    if (m_engine.IsRunning()) {
        m_incomingArrow->setText(m_engine.TakeInjectedBytes() > 0 ? kArrow : QString());
        m_outgoingArrow->setText(m_engine.TakeForwardedBytes() > 0 ? kArrow : QString());
        SetStatus(QString::fromStdString(panel::CStatusLine::RunningSentence(m_engine)));
    } else {
        m_incomingArrow->setText(QString());
        m_outgoingArrow->setText(QString());
    }
    m_statusService.Publish(m_engine, m_status->text().toStdString());
    m_statusLine.Watchdog(std::chrono::steady_clock::now());
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
    panel::WriteYes(panel::Key::kTcp, m_tcp->isChecked());
    UpdateModeControls();
}

void CVantrellDlg::OnInitiateConnection() {
    panel::WriteYes(panel::Key::kTcpInitiate, m_initiateConnection->isChecked());
    UpdateModeControls();
}

void CVantrellDlg::OnAutoStart() {
    panel::WriteYes(panel::Key::kAutostart, m_autoStart->isChecked());
}

void CVantrellDlg::OnRespondToArp() {
    // Takes effect at once, also while running: the agent's thread reads the flag per request.
    m_engine.SetRespond(m_respondToArp->isChecked());
    panel::WriteYes(panel::Key::kRespond, m_respondToArp->isChecked());
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
