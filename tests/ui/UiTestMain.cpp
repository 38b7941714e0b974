// Runs the dialog tests inside one QApplication on the offscreen platform (no display needed).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QByteArray>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    char runtimeDir[] = "/tmp/vantrell-xdg-XXXXXX";
    const bool ownRuntimeDir =
        qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && mkdtemp(runtimeDir) != nullptr;
    if (ownRuntimeDir) qputenv("XDG_RUNTIME_DIR", runtimeDir);
    // Offscreen says this on every show(); it is harmless.
    qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    if (ownRuntimeDir) rmdir(runtimeDir);
    return result;
}
