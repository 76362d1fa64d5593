#include "app/CMonitorApp.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QSocketNotifier>
#include <QTranslator>
#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "app/CMonitorDlg.h"
#include "app/SingleInstance.h"
#include "platform/MessageBoxUi.h"
#include "platform/Sockets.h"

namespace {

int signalPipe[2] = {-1, -1};

void OnEndSignal(int) {
    const int saved = errno;
    const char c = 1;
    (void)!::write(signalPipe[1], &c, 1);
    errno = saved;
}

// Logout, kill and Ctrl+C run the exit command's steps (end mark, tray icon removed)
// on the window thread; the handler itself only writes a byte.
void ExitOnEndSignals(CMonitorDlg& dlg) {
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &dlg);
    QObject::connect(notifier, &QSocketNotifier::activated, &dlg, [&dlg] {
        char buf[64];
        while (::read(signalPipe[0], buf, sizeof buf) > 0) {}
        dlg.OnExit();
    });
    struct sigaction sa {};
    sa.sa_handler = OnEndSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGHUP, SIGINT}) sigaction(sig, &sa, nullptr);
}

}  // namespace

QTranslator* InstallQtTranslation() {
    auto* qt = new QTranslator(QCoreApplication::instance());
    if (!qt->load(QStringLiteral("qtbase_ko"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete qt;
        return nullptr;
    }
    QCoreApplication::installTranslator(qt);
    return qt;
}

bool CMonitorApp::InitInstance() {
    InstallQtTranslation();
    if (WSAStartup(SOCKETS_VERSION) != 0) {
        AfxMessageBox(QStringLiteral("WSAStartup failed"));
        return false;
    }
    {
        CMonitorDlg dlg;
        ExitOnEndSignals(dlg);
        // Started again from the menu, the launcher asks this copy to come forward.
        const auto channel = InstanceListener::Listen(InstanceChannelDir(), [&dlg] { dlg.OnShowRequest(); });
        dlg.DoModal();
    }
    WSACleanup();
    return false;
}
