#include "tests/ui/UiTestSupport.h"

#include <stdlib.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "panel/Settings.h"
#include "platform/PrivateProfile.h"

namespace uitest {

CTempWorkDir::CTempWorkDir() {
    char original[4096];
    if (getcwd(original, sizeof original) != nullptr) m_original = original;
    char pattern[] = "/tmp/vantrell-ui-XXXXXX";
    if (mkdtemp(pattern) != nullptr) {
        m_path = pattern;
        if (chdir(m_path.c_str()) != 0) m_path.clear();
    }
}

CTempWorkDir::~CTempWorkDir() {
    if (!m_original.empty() && chdir(m_original.c_str()) != 0) std::perror("chdir");
    if (!m_path.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
}

std::string IniBytes() {
    std::ifstream file(SettingsFileName, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

void WriteIni(const std::string& contents) {
    std::ofstream file(SettingsFileName, std::ios::binary | std::ios::trunc);
    file << contents;
}

std::string IniValue(const char* section, const char* key, const char* missing) {
    char buffer[400];
    GetPrivateProfileStringA(section, key, missing, buffer, sizeof buffer, SettingsFileName);
    return buffer;
}

std::string ControlStates(QWidget* dialog) {
    std::string states;
    for (QWidget* widget : dialog->findChildren<QWidget*>()) {
        const QVariant id = widget->property("controlId");
        if (!id.isValid()) continue;
        QString text;
        if (auto* label = qobject_cast<QLabel*>(widget)) text = label->text();
        if (auto* edit = qobject_cast<QLineEdit*>(widget)) text = edit->text();
        if (auto* combo = qobject_cast<QComboBox*>(widget)) {
            text = QString::number(combo->currentIndex()) + ":" + combo->currentText();
        }
        bool checked = false;
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            text = button->text();
            checked = button->isChecked();
        }
        states += std::to_string(id.toInt()) + (widget->isEnabled() ? " E" : " D") +
                  (widget->isVisibleTo(dialog) ? "V" : "H") + (checked ? "C " : "U ") +
                  text.toStdString() + "\n";
    }
    return states;
}

}  // namespace uitest
