// The one window of the program: the operator sets the subnets, the tunnel's far end and ports,
// the capture adapter, the virtual router and the tunnel mode, starts and stops the tunnel and
// watches the status line and the two traffic arrows. It owns one CTunnelEngine and decides when
// it starts and stops; the engine keeps the order in which the workers come and go.
// Constructed and run modally by CVantrellApp. Everything here runs on the UI thread; the
// workers never touch a widget, and the dialog reaches them only through the engine.
#pragma once

#include <QDialog>
#include <QIcon>

#include "control/StatusService.h"
#include "engine/TunnelEngine.h"
#include "panel/AdapterList.h"
#include "panel/StatusLine.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class CIpAddressCtrl;

class CVantrellDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CVantrellDlg(QWidget* parent = nullptr);
    // Tells the service manager (if any) that the program is stopping; then the engine stops and
    // joins the injector, the forwarder, the link and the ARP agent, in this order.
    ~CVantrellDlg() override;

  protected:
    // Runs once, when the window is first shown (as the dialog's initialisation does before it
    // appears). True: the first tab stop gets the keyboard focus.
    bool OnInitDialog();
    // Binds the control pointers to the template's controls by their ids.
    void DoDataExchange();

    void OnStart();
    void OnStop();
    void OnTimer(int timerId);
    void OnTcp();
    void OnInitiateConnection();
    void OnAutoStart();
    void OnRespondToArp();
    void UpdateModeControls();

    void showEvent(QShowEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void SetConfigurationEnabled(bool enabled);
    // Every change of the status line goes through here (and m_statusLine), so that the
    // operator's log and the service manager see the same sentence as the window.
    void SetStatus(const QString& text);
    friend class CVantrellDlgProbe;  // tests: reads the engine pointers, never changes them

    // Control pointers in falling id order, 1020 down to 1002, then 1000 and 1001. The widgets
    // belong to the dialog (Qt parent); these only name them.
    QCheckBox* m_respondToArp = nullptr;        // 1020
    QCheckBox* m_autoStart = nullptr;           // 1019
    QLabel* m_status = nullptr;                 // 1018
    QCheckBox* m_initiateConnection = nullptr;  // 1017
    QCheckBox* m_tcp = nullptr;                 // 1016
    QLineEdit* m_virtualMac = nullptr;          // 1014
    CIpAddressCtrl* m_virtualIp = nullptr;      // 1013
    QLabel* m_incomingArrow = nullptr;          // 1012, beside "Subnet Other End"
    QLabel* m_outgoingArrow = nullptr;          // 1011, beside "Subnet This End"
    QComboBox* m_adapterList = nullptr;         // 1010, mirrors m_adapters
    QPushButton* m_stopButton = nullptr;        // 1008
    QPushButton* m_startButton = nullptr;       // 1007
    QLineEdit* m_listenPort = nullptr;          // 1006
    QLineEdit* m_tunnelPort = nullptr;          // 1005
    CIpAddressCtrl* m_tunnelIp = nullptr;       // 1004
    CIpAddressCtrl* m_otherNetmask = nullptr;   // 1003
    CIpAddressCtrl* m_otherSubnet = nullptr;    // 1002
    CIpAddressCtrl* m_thisSubnet = nullptr;     // 1000
    CIpAddressCtrl* m_thisNetmask = nullptr;    // 1001

    // Not in the template: shown only while a sealed tunnel runs, so that without a key the
    // window is exactly as designed. Belongs to the dialog (Qt parent).
    QLabel* m_sealed = nullptr;

    QIcon m_icon;             // icon resource 128
    CAdapterList m_adapters;  // the list's items and records, in the order m_adapterList shows
    // Declared after m_adapters, so destroyed (its workers joined) before the adapter records
    // they point to are freed. Its link's thread runs from initialisation to destruction.
    CTunnelEngine m_engine;

    bool m_initialised = false;       // OnInitDialog has run (Qt has no separate creation step)
    panel::CStatusLine m_statusLine;  // the log's and the service manager's status sentence
    // The read-only status socket, fed from the timer; declared last, so its thread is joined
    // before the engine it was fed from goes.
    CStatusService m_statusService;
};
