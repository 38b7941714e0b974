// Shared pieces of the dialog tests: a fresh working directory per test (so each test has its own
// Vantrell.INI), reading the settings file without writing it, finding controls by id, counting
// this process's threads, and a read-only view of the dialog's engine pointers.
#pragma once

#include <QDialog>
#include <QString>
#include <QWidget>
#include <string>

#include "tests/support/ProcessCounts.h"
#include "ui/VantrellDlg.h"

class CArpAgent;
class CLanToTunnel;
class CTunnelToLan;

namespace uitest {

// Creates a temporary directory, makes it the working directory for the object's life, and
// removes it (with its files) afterwards.
class CTempWorkDir {
  public:
    CTempWorkDir();
    ~CTempWorkDir();
    CTempWorkDir(const CTempWorkDir&) = delete;
    CTempWorkDir& operator=(const CTempWorkDir&) = delete;
    const std::string& Path() const { return m_path; }

  private:
    std::string m_original;
    std::string m_path;
};

// The settings file's bytes ("" when it does not exist) and a way to write it whole.
std::string IniBytes();
void WriteIni(const std::string& contents);
// One value as the file holds it, read without the write-back of ReadSetting; `missing` when
// the key is absent.
std::string IniValue(const char* section, const char* key, const char* missing = "<missing>");

template <typename T = QWidget>
T* Control(QWidget* dialog, int id) {
    return dialog->findChild<T*>(QStringLiteral("IDC_%1").arg(id));
}

// Enabled, visible, checked and text of every control with an id, as one comparable text.
std::string ControlStates(QWidget* dialog);

}  // namespace uitest

// Read-only view of the dialog's engine, for tests (a friend of CVantrellDlg).
class CVantrellDlgProbe {
  public:
    static CArpAgent* ArpAgent(CVantrellDlg& d) { return &d.m_engine.ArpAgent(); }
    static const CLanToTunnel* Forwarder(const CVantrellDlg& d) { return d.m_engine.Forwarder(); }
    static const CTunnelToLan* Injector(const CVantrellDlg& d) { return d.m_engine.Injector(); }
    static bool Running(const CVantrellDlg& d) { return d.m_engine.IsRunning(); }
};
