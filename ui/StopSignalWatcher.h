// Turns SIGTERM, SIGINT and SIGHUP into the Qt signal stopRequested on the UI thread. The first
// of them (platform/StopSignals) writes one byte to a pipe that a socket notifier watches, and
// the program closes as through its close box; any further one ends the process at once, by that
// signal's default action, whatever the close is still doing. Owned by CVantrellApp; UI thread.
#pragma once

#include <QObject>

class QSocketNotifier;

class CStopSignalWatcher : public QObject {
    Q_OBJECT
  public:
    explicit CStopSignalWatcher(QObject* parent = nullptr);
    ~CStopSignalWatcher() override;

    // False when the pipe or a handler could not be set up; signals then act as by default.
    bool Ok() const { return m_notifier != nullptr; }
    // A stop signal has arrived and been seen by this watcher's event handling.
    bool StopRequested() const { return m_stopRequested; }

  signals:
    void stopRequested();

  private:
    void OnReadable();

    QSocketNotifier* m_notifier = nullptr;  // a Qt child of this object
    bool m_stopRequested = false;
};
