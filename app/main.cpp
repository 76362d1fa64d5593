#include <QApplication>

#include "app/CMonitorApp.h"
#include "platform/Privileges.h"

int main(int argc, char** argv) {
    // Before Qt reads the environment or the arguments, and so before it loads any
    // plugin they name: what needs a capability is opened and the capabilities go.
    if (!OpenPrivilegedSocketsAndDropCapabilities()) return 1;
    QApplication app(argc, argv);
    // The window hides rather than closes, and message boxes come and go while it is
    // hidden; only the exit command ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("Tolvara"));
    CMonitorApp theApp;
    theApp.InitInstance();
    return 0;
}
