#include "ui/VantrellApp.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include "platform/Sockets.h"
#include "ui/StopSignalWatcher.h"
#include "ui/VantrellDlg.h"

CVantrellApp::CVantrellApp() : CVantrellApp(platform::SocketStartup, platform::SocketCleanup) {}

CVantrellApp::CVantrellApp(SocketStartupFunction startup, SocketCleanupFunction cleanup)
    : m_socketStartup(startup), m_socketCleanup(cleanup) {}

bool CVantrellApp::InitInstance() {
    // The controls' three-dimensional look needs nothing here: Qt's style draws them so.

    // SIGTERM, SIGINT and SIGHUP close the dialog as its close box does. A signal that comes
    // while the message box below is up closes the box, and the dialog then closes as soon as
    // it has opened.
    CStopSignalWatcher stopSignals;
    QObject::connect(&stopSignals, &CStopSignalWatcher::stopRequested, [] {
        if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
    });

    if (m_socketStartup() != 0) {
        QMessageBox::warning(nullptr, QApplication::applicationName(),
                             QStringLiteral("Couldn't start Winsock"), QMessageBox::Ok);
    }

    {
        // No parent window. The dialog's destructor, at the end of this block, stops and joins
        // every worker after the socket library has been released.
        CVantrellDlg dialog;
        if (stopSignals.StopRequested()) QTimer::singleShot(0, &dialog, &QWidget::close);
        dialog.exec();  // the result is not used
        m_socketCleanup();
    }
    return false;
}
