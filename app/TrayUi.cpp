// The main window's notification-area icon, popup menus, system menu and exit.
#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <cstring>
#include <QSystemTrayIcon>
#include <QTimer>

#include "app/CAboutDlg.h"
#include "app/CMonitorDlg.h"
#include "log/AccessLog.h"
#include "platform/Messages.h"
#include "platform/PopupMenuUi.h"

namespace {
constexpr int WM_MBUTTONDOWN = 0x0207;
constexpr int SC_CLOSE = 0xF060;

int MouseMessageOf(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
    case QSystemTrayIcon::Trigger: return WM_LBUTTONDOWN;
    case QSystemTrayIcon::Context: return WM_RBUTTONDOWN;
    case QSystemTrayIcon::DoubleClick: return WM_LBUTTONDBLCLK;
    case QSystemTrayIcon::MiddleClick: return WM_MBUTTONDOWN;
    default: return 0;
    }
}
}  // namespace

void CMonitorDlg::AddTrayIcon() {
    tray_ = new QSystemTrayIcon(icon_, this);
    tray_->setToolTip(QStringLiteral("Tolvara 1.0"));
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        OnTrayNotify(IDI_MAINFRAME, MouseMessageOf(reason));
    });
    tray_->show();
}

void CMonitorDlg::RemoveTrayIcon() {
    if (!tray_) return;
    tray_->hide();
    delete tray_;
    tray_ = nullptr;
}

int CMonitorDlg::OnTrayNotify(int /*wParam*/, int lParam) {
    if (lParam == WM_LBUTTONDOWN) {
        if (windowVisible_ == 1) {
            raise();
            activateWindow();
        } else {
            windowVisible_ = 1;
            ShowWindow();
        }
    } else if (lParam == WM_RBUTTONDOWN) {
        const QPoint pos = QCursor::pos();
        activateWindow();
        const int command = TrackPopupMenu(IDR_TRAY_MENU, pos, this);
        // The chosen command arrives as WM_COMMAND after the menu has closed.
        if (command) QTimer::singleShot(0, this, [this, command] { OnCommand(command); });
    }
    return 0;
}

void CMonitorDlg::OnSysCommand(int command) {
    if ((command & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about;
        about.DoModal();
    } else if (command == SC_CLOSE) {
        OnClose();
    }
}

void CMonitorDlg::OnFriendListRightClick(int item) {
    if (item < 0) return;
    const std::string text = friendList_.GetItemText(item, 0).left(23).toStdString();
    // A hand-edited friend file may hold a longer text; keep only what fits.
    const size_t n = text.size() < sizeof selectedAddress_ - 1 ? text.size() : sizeof selectedAddress_ - 1;
    std::memcpy(selectedAddress_, text.data(), n);
    selectedAddress_[n] = '\0';
    selectionMode_ = 2;
}

void CMonitorDlg::OnContextMenu(QPoint pos) {
    if (selectionMode_ == 0) return;
    if (pos == QPoint(-1, -1)) pos = mapToGlobal(QPoint(0, 0)) + QPoint(5, 5);
    const int command = TrackPopupMenu(IDR_LIST_POPUP, pos, this);
    selectionMode_ = 0;
    if (command) QTimer::singleShot(0, this, [this, command] { OnCommand(command); });
}

void CMonitorDlg::OnExit() {
    if (mailslot_ >= 0) {
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
