// The application's start-up order: socket library, message box on failure, modal dialog,
// release of the socket library after the dialog has closed and before it is destroyed.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <string>
#include <vector>

#include "tests/ui/UiTestSupport.h"
#include "ui/VantrellApp.h"

namespace {

std::vector<std::string> g_events;
int g_startups = 0;

CVantrellDlg* LiveDialog() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<CVantrellDlg*>(widget)) return dialog;
    }
    return nullptr;
}

int FailingStartup() {
    ++g_startups;
    g_events.push_back("startup");
    return 10091;  // the socket library is not ready
}
int WorkingStartup() {
    ++g_startups;
    g_events.push_back("startup");
    return 0;
}
void RecordingCleanup() {
    CVantrellDlg* dialog = LiveDialog();
    g_events.push_back(dialog == nullptr     ? "cleanup, dialog gone"
                       : dialog->isVisible() ? "cleanup, dialog open"
                                             : "cleanup, dialog closed");
}

// Answers whatever modal window comes up, records it, and closes it as the operator would.
void OperateModals(QTimer& poll) {
    QObject::connect(&poll, &QTimer::timeout, [] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            g_events.push_back("box: " + box->text().toStdString() + ", dialog " +
                               (LiveDialog() ? "exists" : "not yet"));
            EXPECT_EQ(box->buttons().size(), 1);
            box->button(QMessageBox::Ok)->click();
        } else if (auto* dialog = qobject_cast<CVantrellDlg*>(modal)) {
            g_events.push_back("dialog");
            dialog->close();
        }
    });
    poll.start(20);
}

TEST(VantrellApp, FailedSocketStartupShowsTheBoxFirstAndTheDialogStillOpens) {
    uitest::CTempWorkDir dir;
    g_events.clear();
    g_startups = 0;
    QTimer poll;
    OperateModals(poll);
    CVantrellApp app(FailingStartup, RecordingCleanup);
    EXPECT_FALSE(app.InitInstance());
    const std::vector<std::string> expected = {"startup",
                                               "box: Couldn't start Winsock, dialog not yet",
                                               "dialog", "cleanup, dialog closed"};
    EXPECT_EQ(g_events, expected);
    EXPECT_EQ(LiveDialog(), nullptr);   // destroyed on the way out
    EXPECT_NE(uitest::IniBytes(), "");  // the dialog did initialise
}

TEST(VantrellApp, WorkingSocketStartupGoesStraightToTheDialog) {
    uitest::CTempWorkDir dir;
    g_events.clear();
    g_startups = 0;
    QTimer poll;
    OperateModals(poll);
    CVantrellApp app(WorkingStartup, RecordingCleanup);
    EXPECT_FALSE(app.InitInstance());
    const std::vector<std::string> expected = {"startup", "dialog", "cleanup, dialog closed"};
    EXPECT_EQ(g_events, expected);
    EXPECT_EQ(g_startups, 1);
}

}  // namespace
