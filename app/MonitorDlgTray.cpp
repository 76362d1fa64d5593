// The main window's notification-area icon, its menu, the system menu and exit.
#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstdio>

#include "app/CAboutDlg.h"
#include "app/CMonitorDlg.h"
#include "log/AccessLog.h"
#include "platform/PopupMenuUi.h"

void CMonitorDlg::AddTrayIcon() {
    Step("AddTrayIcon");
    tray_ = new QSystemTrayIcon(icon_, this);
    tray_->setToolTip(QStringLiteral("Tolvara 1.0"));
    connect(tray_, &QSystemTrayIcon::activated, this, &CMonitorDlg::OnTrayNotify);
    tray_->show();
    // Said where it can be read: the window's own notice comes as it minimises, and a
    // window manager without a task bar then shows nothing of it.
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        std::fputs("tolvara: the desktop has no notification area (system tray) yet; until one appears, closing "
                   "the window minimises it instead of hiding it in the tray\n",
                   stderr);
}

void CMonitorDlg::RemoveTrayIcon() {
    Step("RemoveTrayIcon");
    if (!tray_) return;
    tray_->hide();
    delete tray_;
    tray_ = nullptr;
}

// A left click shows the window, a right click opens the tray menu; a double click
// and the others do nothing.
int CMonitorDlg::OnTrayNotify(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) {
        BringWindowBack();
    } else if (reason == QSystemTrayIcon::Context) {
        const QPoint pos = QCursor::pos();
        activateWindow();
        const int command = TrackPopupMenu(IDR_TRAY_MENU, pos, this);
        // The chosen command arrives as WM_COMMAND after the menu has closed.
        if (command) QTimer::singleShot(0, this, [this, command] { OnCommand(command); });
    }
    return 0;
}

void CMonitorDlg::BringWindowBack() {
    // A window manager may have minimised the window, minimise box or not, or taken
    // it off the screen to show the desktop.
    if (windowVisible_ != 1 || !InSight()) {
        windowVisible_ = 1;
        ShowWindow();
    }
    raise();
    activateWindow();
}

// As after a left click on the icon, whether the window is hidden, minimised or behind
// others.
void CMonitorDlg::OnShowRequest() {
    if (!destroyed_) OnTrayNotify(QSystemTrayIcon::Trigger);
}

void CMonitorDlg::OnSysCommand(int command) {
    if ((command & 0xFFF0) == IDM_ABOUTBOX) {
        if (CDialogBase* open = CDialogBase::FindOpen(IDD_ABOUTBOX)) return RaiseWindow(open);
        CAboutDlg about;
        about.DoModal();
    } else if (command == SC_CLOSE) {
        OnClose();
    }
}

void CMonitorDlg::OnExit() {
    if (destroyed_) return;  // a second end signal, or the exit item chosen twice
    if (messaging_.mailslot) {
        KillTimer(TIMER_MAILSLOT);
        CloseMailslot();
    }
    KillTimer(TIMER_REFRESH);
    DeleteImageList();
    if (settings_.keepAccessLog) WriteAccessLog(LOG_END);
    RemoveTrayIcon();
    DestroyWindow();
    // Dialogs still open (the exit item works while one is) go with the window, as owned
    // windows would; otherwise their loops would keep the program running without its icon.
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<QDialog*>(w); d && d != this && d->isVisible() && d->isModal()) d->done(IDCANCEL);
}
