// The application object: starts the socket library, runs the main dialog modally, releases the
// socket library once the dialog has closed, and lets the dialog's destruction end every worker.
// One instance, made by main() after the QApplication; UI thread only.
#pragma once

class CVantrellApp {
  public:
    using SocketStartupFunction = int (*)();
    using SocketCleanupFunction = void (*)();

    // The socket functions default to platform::SocketStartup and platform::SocketCleanup; tests
    // pass their own to make the start-up fail or to watch the order.
    CVantrellApp();
    CVantrellApp(SocketStartupFunction startup, SocketCleanupFunction cleanup);

    // Runs the whole program; false, as there is nothing to run after the dialog.
    bool InitInstance();

  private:
    SocketStartupFunction m_socketStartup;
    SocketCleanupFunction m_socketCleanup;
};
