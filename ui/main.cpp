// The program's entry: the arguments go to QApplication (which takes its own, such as
// -platform) and are otherwise never read; the program has no options of its own.
#include <QApplication>

#include "ui/VantrellApp.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    CVantrellApp theApp;
    theApp.InitInstance();
    return 0;
}
