#include <QApplication>
#include <cstring>
#include <malloc.h>

#include "app/CMonitorApp.h"
#include "app/CommandLine.h"
#include "app/SingleInstance.h"
#include "platform/Privileges.h"

int main(int argc, char** argv) {
    // The launcher's question to a copy already running, answered first: it opens no
    // socket that needs a capability (binding port 138 here would take unicast datagrams
    // from the running copy) and starts nothing of Qt.
    if (argc == 2 && std::strcmp(argv[1], SHOW_RUNNING_OPTION) == 0)
        return AskRunningCopyToShow(InstanceChannelDir()) ? 0 : 1;
    // Before Qt reads the environment or the arguments, and so before it loads any
    // plugin they name: what needs a capability is opened and the capabilities go.
    if (!OpenPrivilegedSocketsAndDropCapabilities()) return 1;
    // The tables of a busy machine take megabytes that grow with it: a fixed threshold
    // gives every block that large back to the system when freed, where the default
    // rising one keeps the outgrown copies of a growing table in the heap for good.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
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
