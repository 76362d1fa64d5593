#include "app/CMonitorDlg.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QShortcut>
#include <QSystemTrayIcon>
#include <QTreeWidget>
#include <climits>
#include <unistd.h>

#include "log/AccessLog.h"
#include "platform/Messages.h"
#include "platform/PostedEvent.h"
#include "platform/VantleUi.h"
#include "res/BitmapsUi.h"

int CMonitorDlg::startupFlag = 1;

namespace {
constexpr int SC_CLOSE = 0xF060;
}

CMonitorDlg::CMonitorDlg(QWidget* parent, MonitorOptions options)
    : CDialogBase(IDD_MONITOR, parent),
      options_(std::move(options)),
      agent_(std::make_unique<CNetTableAgent>(options_.agentLibraryPath)) {
    // A visible popup with caption and system menu, no minimise or maximise box; a
    // top-level window of its own so it has a taskbar button while shown.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    hwnd_ = MakeWindowRef(this);
    history_ = Item<QListWidget>(1036);
    friendList_ = CListCtrl(Item<QTreeWidget>(1014));
    connList_ = CListCtrl(Item<QTreeWidget>(1000));
    icon_ = LoadIconResource(IDI_MAINFRAME);
    refreshTimer_.setTimerType(Qt::CoarseTimer);
    connect(&refreshTimer_, &QTimer::timeout, this, [this] { OnTimer(TIMER_REFRESH); });
    connect(&mailslotTimer_, &QTimer::timeout, this, [this] { OnTimer(TIMER_MAILSLOT); });
    // Alt+Space opens the window's system menu, which carries the About item; a window
    // shortcut, because the focused list would otherwise take the space key itself.
    auto* systemMenuKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    connect(systemMenuKey, &QShortcut::activated, this, [this] { ShowSystemMenu(mapToGlobal(QPoint(0, 0))); });
    for (QTreeWidget* list : {connList_.widget(), friendList_.widget()}) {
        list->setContextMenuPolicy(Qt::DefaultContextMenu);
        list->viewport()->installEventFilter(this);
    }
}

CMonitorDlg::~CMonitorDlg() {
    // Workers that still hold the handle see a window that is gone.
    hwnd_.Invalidate();
    if (peerLink_) peerLink_->hwnd.Invalidate();
}

bool CMonitorDlg::OnInitDialog() {
    CDialogBase::OnInitDialog();
    // The system menu item lives in our own system menu (Alt+Space); see ShowSystemMenu.
    setWindowIcon(icon_);

    char cwd[PATH_MAX];
    workDir_ = ::getcwd(cwd, sizeof cwd) ? cwd : ".";

    AddTrayIcon();
    mailslot_ = CreateMessengerMailslot();

    connList_.SetExtendedStyle(LVS_EX_FULLROWSELECT);
    imageList_.Create(LoadBitmapResource(IDB_CONN_IMAGES), 16, 1, Qt::white);
    connList_.SetImageList(&imageList_);
    connList_.InsertColumn(0, QStringLiteral("상대방 주소"), 170);
    connList_.InsertColumn(1, QStringLiteral("자기 주소"), 170);
    connList_.InsertColumn(2, QStringLiteral("Proto"), 45);
    connList_.InsertColumn(3, QStringLiteral("상 태"), 90);

    friendList_.SetExtendedStyle(LVS_EX_FULLROWSELECT);
    friendList_.InsertColumn(0, QStringLiteral("친구 주소"), 95);
    friendList_.InsertColumn(1, QStringLiteral("상 태"), 65);

    LoadFriendFile();

    if (!InitializeAgent()) return false;

    if (!ReadSettings()) settings_ = DefaultSettings();

    tracker_.SetOwner(hwnd_);
    portNames_.SetShowNames(settings_.showPortNames ? 1 : 0);

    if (settings_.keepAccessLog) WriteAccessLog(LOG_START);

    SetTimer(TIMER_REFRESH, RefreshPeriodMs(settings_.refreshInterval));
    if (mailslot_ >= 0) SetTimer(TIMER_MAILSLOT, 3000);

    peerLink_->hwnd = hwnd_;
    peerLink_->status = 0;
    StartPeerReceiver();

    RefreshConnections();
    CreateAdvertisingControl();
    return true;
}

int CMonitorDlg::DoModal() {
    OnInitDialog();
    if (destroyed_) return IDCANCEL;
    show();
    QEventLoop loop;
    modalLoop_ = &loop;
    loop.exec();
    modalLoop_ = nullptr;
    return IDCANCEL;
}

void CMonitorDlg::OnTimer(int id) {
    if (id == TIMER_REFRESH && refreshRunning_ == 0) RefreshConnections();
    if (mailslot_ >= 0 && id == TIMER_MAILSLOT) PollMessengerMailslot();
    if (startupFlag) {
        if (!settings_.showWindowAtStart) {
            windowVisible_ = 0;
            HideWindow();
        }
        startupFlag = 0;
    }
}

void CMonitorDlg::OnClose() {
    HideWindow();
    windowVisible_ = 0;
}

void CMonitorDlg::closeEvent(QCloseEvent* e) {
    e->ignore();
    if (!destroyed_) OnClose();
}

void CMonitorDlg::HideWindow() {
    if (tray_ && QSystemTrayIcon::isSystemTrayAvailable()) {
        hide();
        return;
    }
    // Without a notification area nothing could bring a hidden window back.
    if (!noTrayNotice_) {
        noTrayNotice_ = new QLabel(QStringLiteral("알림 영역(트레이)이 없어 창을 숨기지 않고 최소화합니다."), this);
        noTrayNotice_->setObjectName(QStringLiteral("noTrayNotice"));
        const PixelRect r = DialogUnitsToPixels(7, 3, 369, 11, BaseUnits());
        noTrayNotice_->setGeometry(r.x, r.y, r.w, r.h);
        noTrayNotice_->show();
    }
    showMinimized();
}

bool CMonitorDlg::HasNoTrayNotice() const { return noTrayNotice_ != nullptr; }

void CMonitorDlg::ShowWindow() {
    if (isMinimized()) showNormal();
    else show();
}

void CMonitorDlg::OnCommand(int id) {
    switch (id) {
    case 1001: OnPing(); break;
    case 1002: OnComputerName(); break;
    case 1003: OnWhois(); break;
    case 1004: OnSettings(); break;
    case 1005: OnSendMessage(); break;
    case 1006: OnFriendList(); break;
    case 1015: OnViewAccessLog(); break;
    case 32771: OnComputerNameForSelection(); break;
    case 32772: OnWhoisForSelection(); break;
    case 32773: OnSendMessageToSelection(); break;
    case 32774: OnExit(); break;
    default: break;
    }
}

bool CMonitorDlg::event(QEvent* e) {
    if (e->type() == PostedEvent::EventType()) {
        const PostedMessage& m = static_cast<PostedEvent*>(e)->message;
        switch (m.message) {
        case WM_CONN_EVENT: OnConnEvent(m.payload); break;
        case WM_PING_RESULT: OnPingResult(m); break;
        case WM_PEER_MESSAGE: OnPeerMessage(m); break;
        default: break;
        }
        return true;
    }
    return CDialogBase::event(e);
}

void CMonitorDlg::contextMenuEvent(QContextMenuEvent* e) {
    OnContextMenu(e->reason() == QContextMenuEvent::Keyboard ? QPoint(-1, -1) : e->globalPos());
}

bool CMonitorDlg::eventFilter(QObject* watched, QEvent* e) {
    // A mouse right click on a list row selects first (NM_RCLICK), then the event goes
    // on to the window's context menu as WM_CONTEXTMENU would.
    if (e->type() == QEvent::ContextMenu) {
        auto* ce = static_cast<QContextMenuEvent*>(e);
        if (ce->reason() == QContextMenuEvent::Mouse) {
            if (watched == connList_.widget()->viewport()) OnConnListRightClick(connList_.HitTest(ce->pos()));
            else if (watched == friendList_.widget()->viewport())
                OnFriendListRightClick(friendList_.HitTest(ce->pos()));
        }
        OnContextMenu(ce->reason() == QContextMenuEvent::Keyboard ? QPoint(-1, -1) : ce->globalPos());
        return true;
    }
    return CDialogBase::eventFilter(watched, e);
}

void CMonitorDlg::ShowSystemMenu(QPoint screenPos) {
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("systemMenu"));
    menu.addAction(QStringLiteral("닫기(&C)\tAlt+F4"))->setData(SC_CLOSE);
    const char* about = LoadStringResource(IDS_ABOUTBOX);
    if (about && *about) {
        menu.addSeparator();
        menu.addAction(QString::fromUtf8(about))->setData(IDM_ABOUTBOX);
    }
    if (QAction* chosen = menu.exec(screenPos)) OnSysCommand(chosen->data().toInt());
}

void CMonitorDlg::SetTimer(int id, int periodMs) {
    QTimer& t = id == TIMER_REFRESH ? refreshTimer_ : mailslotTimer_;
    t.start(periodMs);
}

void CMonitorDlg::KillTimer(int id) { (id == TIMER_REFRESH ? refreshTimer_ : mailslotTimer_).stop(); }

bool CMonitorDlg::InitializeAgent() { return agent_->Initialize(); }

bool CMonitorDlg::ReadSettings() { return ReadSettingsFile(WorkFile(SETTINGS_FILE_NAME), settings_); }

void CMonitorDlg::WriteSettings() { WriteSettingsFile(WorkFile(SETTINGS_FILE_NAME), settings_); }

void CMonitorDlg::WriteAccessLog(int mode, const std::string& text) {
    ::WriteAccessLog(workDir_, mode, text, options_.clock());
}

void CMonitorDlg::OnViewAccessLog() { OpenAccessLogInEditor(workDir_, options_.clock()); }

void CMonitorDlg::CreateAdvertisingControl() {
    VantleCreateControl("olmarq.tolvara.v10.int", GetDlgItem(1037), 0, 1, 0, 0);
}

// The friend file, the mailslot and the peer receiver belong to other subsystems.
void CMonitorDlg::LoadFriendFile() {}
int CMonitorDlg::CreateMessengerMailslot() { return -1; }
void CMonitorDlg::StartPeerReceiver() {}
void CMonitorDlg::PollMessengerMailslot() {}
void CMonitorDlg::CloseMailslot() { mailslot_ = -1; }

void CMonitorDlg::DeleteImageList() { imageList_.DeleteImageList(); }

void CMonitorDlg::DestroyWindow() {
    destroyed_ = true;
    hwnd_.Invalidate();
    refreshTimer_.stop();
    mailslotTimer_.stop();
    hide();
    if (modalLoop_) modalLoop_->quit();
}
