#include <QApplication>

#include "app/CMonitorApp.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // The window hides rather than closes, and message boxes come and go while it is
    // hidden; only the exit command ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("Tolvara"));
    CMonitorApp theApp;
    theApp.InitInstance();
    return 0;
}
