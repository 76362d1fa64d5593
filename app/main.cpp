#include <QApplication>

#include "app/CMonitorApp.h"
#include "app/CommandLine.h"
#include "platform/Privileges.h"

int main(int argc, char** argv) {
    // Before Qt reads the environment or the arguments, and so before it loads any
    // plugin they name: what needs a capability is opened and the capabilities go.
    if (!OpenPrivilegedSocketsAndDropCapabilities()) return 1;
    // The export, --help and --version need neither a window nor a display.
    if (const std::optional<int> status = RunCommandLine(argc, argv)) return *status;
    QApplication app(argc, argv);
    // The window hides rather than closes, and message boxes come and go while it is
    // hidden; only the exit command ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("Tolvara"));
    CMonitorApp theApp;
    theApp.InitInstance();
    return 0;
}
