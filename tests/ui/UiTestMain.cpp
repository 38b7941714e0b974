// Runs the dialog tests inside one QApplication on the offscreen platform (no display needed).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QByteArray>
#include <thread>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    char runtimeDir[] = "/tmp/vantrell-xdg-XXXXXX";
    const bool ownRuntimeDir =
        qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && mkdtemp(runtimeDir) != nullptr;
    if (ownRuntimeDir) qputenv("XDG_RUNTIME_DIR", runtimeDir);
    // Offscreen says this on every show(); it is harmless.
    qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    QApplication application(argc, argv);
    // Tests count this process's threads: let any helper thread that the runtime starts with the
    // first thread (a sanitizer's, for one) exist before the first count.
    std::thread([] {}).join();
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    if (ownRuntimeDir) rmdir(runtimeDir);
    return result;
}
