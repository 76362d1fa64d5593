#include "app/CMonitorDlg.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QLabel>
#include <QMouseEvent>
#include <QListWidget>
#include <QShortcut>
#include <QTreeWidget>
#include <QWindow>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <unistd.h>

#include "app/AlarmNotifications.h"
#include "log/AccessLog.h"
#include "platform/Messages.h"
#include "platform/PopupMenuUi.h"
#include "platform/Privileges.h"
#include "platform/TextUtil.h"
#include "platform/VantleUi.h"
#include "res/BitmapsUi.h"

int CMonitorDlg::startupFlag = 1;

namespace {

// What gives the program both its capabilities. Whoever may change the file or a folder
// above it could run code with them, so all of those must be root's.
QString GrantCommand() {
    return QStringLiteral("setcap cap_net_bind_service,cap_net_raw=ep ") + QCoreApplication::applicationFilePath();
}

}  // namespace

CMonitorDlg::CMonitorDlg(QWidget* parent, MonitorOptions options)
    : CDialogBase(IDD_MONITOR, parent), options_(std::move(options)) {
    // A visible popup with caption and system menu, no minimise or maximise box; a
    // top-level window of its own so it has a taskbar button while shown.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    monitor_.agent = options_.agentInit && options_.agentQuery
                         ? std::make_unique<CNetTableAgent>(options_.agentInit, options_.agentQuery)
                         : std::make_unique<CNetTableAgent>(options_.agentLibraryPath);
    monitor_.history = Item<QListWidget>(IDC_HISTORY);
    // Every history line has one height; without this each insert measures them all.
    monitor_.history->setUniformItemSizes(true);
    auto* connView = Item<QTreeView>(IDC_CONN_LIST);
    monitor_.connRows = new ConnectionListModel(portNames_, monitor_.imageList, connView);
    connView->setModel(monitor_.connRows);
    monitor_.connList = CListCtrl(connView);
    friends_.friendList = CListCtrl(Item<QTreeWidget>(IDC_FRIEND_LIST));
    icon_ = LoadIconResource(IDI_MAINFRAME);
    refreshTimer_.setTimerType(Qt::CoarseTimer);
    connect(&refreshTimer_, &QTimer::timeout, this, [this] { OnTimer(TIMER_REFRESH); });
    connect(&mailslotTimer_, &QTimer::timeout, this, [this] { OnTimer(TIMER_MAILSLOT); });
    // Alt+Space opens the window's system menu, which carries the About item; a window
    // shortcut, because the focused list would otherwise take the space key itself.
    auto* systemMenuKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    connect(systemMenuKey, &QShortcut::activated, this, [this] { ShowSystemMenu(mapToGlobal(QPoint(0, 0))); });
    for (QTreeView* list : {monitor_.connList.widget(), friends_.friendList.widget()}) {
        list->setContextMenuPolicy(Qt::DefaultContextMenu);
        list->viewport()->installEventFilter(this);
    }
    // Most window managers keep Alt+Space for themselves: F1 and a click on the picture
    // under the advertising area reach the About box as well.
    auto* helpKey = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(helpKey, &QShortcut::activated, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    for (QLabel* l : findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly))
        if (l->property("dlgResource").toInt() == IDB_AD_PICTURE) adPicture_ = l;
    if (adPicture_) {
        adPicture_->setCursor(Qt::PointingHandCursor);
        adPicture_->setToolTip(QString::fromUtf8(LoadStringResource(IDS_ABOUTBOX)).remove(QLatin1Char('&')));
        adPicture_->installEventFilter(this);
    }
    if (std::unique_ptr<DesktopNotifier> n = options_.notifier ? options_.notifier() : nullptr) {
        notifications_ = new AlarmNotifications(std::move(n), ProgramIconUri(), this);
        connect(notifications_, &AlarmNotifications::showAsBox, this, &CMonitorDlg::ShowAlarmBox);
        connect(notifications_, &AlarmNotifications::showWindow, this, [this] {
            if (!destroyed_) BringWindowBack();
        });
    }
    SetMainWindow(this);
}

CMonitorDlg::~CMonitorDlg() {
    // Workers that still hold the handle see a window that is gone.
    Handle().Invalidate();
    StopWorkers();
    // The rows read the port names and images, which go before the widgets do.
    delete monitor_.connRows;
}

void CMonitorDlg::Step(const char* name) const {
    if (options_.onStep) options_.onStep(name);
}

std::string CMonitorDlg::WorkFile(const char* name) const { return JoinPath(workDir_, name); }

bool CMonitorDlg::OnInitDialog() {
    CDialogBase::OnInitDialog();
    if (const MenuTemplate* t = FindMenuTemplate(IDR_SYSTEM_MENU)) systemMenu_ = *t;
    const char* about = LoadStringResource(IDS_ABOUTBOX);
    if (about && *about) {
        systemMenu_.items.push_back({0, nullptr});
        systemMenu_.items.push_back({IDM_ABOUTBOX, about});
    }
    setWindowIcon(icon_);

    char cwd[PATH_MAX];
    workDir_ = ::getcwd(cwd, sizeof cwd) ? cwd : ".";

    AddTrayIcon();
    OpenMessengerMailslot();
    ReleaseNetbiosDatagramSocket();  // kept for the LAN receiver, if it did not start

    CListCtrl& connList = monitor_.connList;
    connList.SetExtendedStyle(LVS_EX_FULLROWSELECT);
    monitor_.imageList.Create(LoadBitmapResource(IDB_CONN_IMAGES), 16, 1, Qt::white);
    connList.SetImageList(&monitor_.imageList);
    connList.InsertColumn(0, QStringLiteral("상대방 주소"), 170);
    connList.InsertColumn(1, QStringLiteral("자기 주소"), 170);
    connList.InsertColumn(2, QStringLiteral("Proto"), 45);
    connList.InsertColumn(3, QStringLiteral("상 태"), 90);
    connList.InsertColumn(PROGRAM_COLUMN, QStringLiteral("프로그램"), 90);

    friends_.friendList.SetExtendedStyle(LVS_EX_FULLROWSELECT);
    friends_.friendList.InsertColumn(0, QStringLiteral("친구 주소"), 95);
    friends_.friendList.InsertColumn(1, QStringLiteral("상 태"), 65);

    LoadFriendFile();

    if (!InitializeAgent()) return false;

    if (!ReadSettings()) settings_ = DefaultSettings();
    ReadPreferences();

    monitor_.tracker.SetOwner(Handle());
    portNames_.SetShowNames(settings_.showPortNames ? 1 : 0);

    if (settings_.keepAccessLog) WriteAccessLog(LOG_START);

    SetTimer(TIMER_REFRESH, RefreshPeriodMs(settings_.refreshInterval));
    if (messaging_.mailslot) SetTimer(TIMER_MAILSLOT, 3000);

    messaging_.peerLink->hwnd = Handle();
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
    if (id == TIMER_REFRESH && monitor_.refreshRunning == 0) RefreshConnections();
    if (messaging_.mailslot && id == TIMER_MAILSLOT) PollMessengerMailslot();
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
    if (!noTrayNotice_)
        noTrayNotice_ = ShowNotice("noTrayNotice", QStringLiteral("알림 영역(트레이)이 없어 창을 숨기지 않고 최소화합니다."));
    showMinimized();
}

QLabel* CMonitorDlg::ShowNotice(const char* name, const QString& text, const QString& detail, bool atRight) {
    auto* label = new QLabel(this);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setProperty("noticeText", text);
    label->setToolTip(detail.isEmpty() ? text : text + QLatin1Char('\n') + detail);
    label->setAlignment((atRight ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
    notices_.push_back(label);
    LayOutNotices();
    label->show();
    return label;
}

void CMonitorDlg::LayOutNotices() {
    const PixelRect strip = DialogUnitsToPixels(7, 3, 369, 11, BaseUnits());
    const int gap = DialogUnitsToPixels(0, 0, 8, 0, BaseUnits()).w;
    int left = strip.x;
    int right = strip.x + strip.w;
    for (const bool atRight : {true, false}) {
        for (QLabel* label : notices_) {
            if (static_cast<bool>(label->alignment() & Qt::AlignRight) != atRight) continue;
            const QString text = label->property("noticeText").toString();
            const QFontMetrics metrics = label->fontMetrics();
            const int width = std::clamp(metrics.horizontalAdvance(text) + 1, 0, std::max(0, right - left));
            label->setText(metrics.elidedText(text, Qt::ElideRight, width));
            label->setGeometry(atRight ? right - width : left, strip.y, width, strip.h);
            if (atRight) right -= width + gap;
            else left += width + gap;
        }
    }
}

QLabel* CMonitorDlg::ShowMissingPrivilege(const char* name, const QString& text, const std::string& why,
                                          const char* otherWay, const QString& otherWayKorean) {
    const QString grant = GrantCommand();
    std::fprintf(stderr,
                 "tolvara: %s; to allow this, as root: %s (the file and every folder above it must belong to "
                 "root)%s%s\n",
                 why.c_str(), qUtf8Printable(grant), otherWay ? "; or " : "", otherWay ? otherWay : "");
    QString detail = QStringLiteral("허용하려면 root로: ") + grant +
                     QStringLiteral("\n(이 파일과 그 위의 모든 폴더가 root의 것이어야 합니다)");
    if (!otherWayKorean.isEmpty()) detail += QStringLiteral("\n또는 ") + otherWayKorean;
    return ShowNotice(name, text, detail);
}

bool CMonitorDlg::InSight() const {
    return isVisible() && !isMinimized() && (!windowHandle() || windowHandle()->isExposed());
}

void CMonitorDlg::ShowWindow() {
    if (isMinimized()) {
        showNormal();
    } else if (isVisible() && !InSight()) {
        // "Show desktop" unmaps the window without minimising it; mapped anew, it is
        // the window the user asked for and the desktop is left.
        hide();
        show();
    } else {
        show();
    }
}

namespace {
// The dialog a command opens, or 0.
int DialogOfCommand(int id) {
    switch (id) {
    case ID_COMPUTER_NAME:
    case ID_COMPUTER_NAME_FOR_SELECTION: return IDD_COMPUTER_NAME;
    case ID_WHOIS:
    case ID_WHOIS_FOR_SELECTION: return IDD_WHOIS;
    case ID_SEND_MESSAGE:
    case ID_SEND_MESSAGE_TO_SELECTION: return IDD_SEND_MESSAGE;
    case ID_SETTINGS: return IDD_SETTINGS;
    case ID_FRIEND_LIST: return IDD_FRIEND_LIST;
    default: return 0;
    }
}
}  // namespace

void CMonitorDlg::OnCommand(int id) {
    // One copy of each dialog: the one open already comes forward.
    if (const int dialog = DialogOfCommand(id)) {
        if (CDialogBase* open = CDialogBase::FindOpen(dialog)) return RaiseWindow(open);
    }
    switch (id) {
    case ID_PING: OnPing(); break;
    case ID_COMPUTER_NAME: OnComputerName(); break;
    case ID_WHOIS: OnWhois(); break;
    case ID_SETTINGS: OnSettings(); break;
    case ID_SEND_MESSAGE: OnSendMessage(); break;
    case ID_FRIEND_LIST: OnFriendList(); break;
    case ID_VIEW_ACCESS_LOG: OnViewAccessLog(); break;
    case ID_EXPORT_ACCESS_LOG: OnExportAccessLog(); break;
    case ID_COMPUTER_NAME_FOR_SELECTION: OnComputerNameForSelection(); break;
    case ID_WHOIS_FOR_SELECTION: OnWhoisForSelection(); break;
    case ID_SEND_MESSAGE_TO_SELECTION: OnSendMessageToSelection(); break;
    case ID_EXIT: OnExit(); break;
    default: break;
    }
}

void CMonitorDlg::OnPostedMessage(PostedMessage& m) {
    switch (m.message) {
    case WM_CONN_EVENT: OnConnEvent(m.payload); break;
    case WM_PING_RESULT: OnPingResult(m); break;
    case WM_PEER_MESSAGE: OnPeerMessage(m); break;
    default: break;
    }
}

void CMonitorDlg::contextMenuEvent(QContextMenuEvent* e) {
    OnContextMenu(e->reason() == QContextMenuEvent::Keyboard ? QPoint(-1, -1) : e->globalPos());
}

bool CMonitorDlg::eventFilter(QObject* watched, QEvent* e) {
    if (watched == adPicture_ && e->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton) {
        OnSysCommand(IDM_ABOUTBOX);
        return true;
    }
    // A mouse right click on a list row selects first (NM_RCLICK), then the event goes
    // on to the window's context menu as WM_CONTEXTMENU would.
    if (e->type() == QEvent::ContextMenu) {
        auto* ce = static_cast<QContextMenuEvent*>(e);
        if (ce->reason() == QContextMenuEvent::Mouse) {
            if (watched == monitor_.connList.widget()->viewport())
                OnConnListRightClick(monitor_.connList.HitTest(ce->pos()));
            else if (watched == friends_.friendList.widget()->viewport())
                OnFriendListRightClick(friends_.friendList.HitTest(ce->pos()));
        }
        OnContextMenu(ce->reason() == QContextMenuEvent::Keyboard ? QPoint(-1, -1) : ce->globalPos());
        return true;
    }
    return CDialogBase::eventFilter(watched, e);
}

void CMonitorDlg::ShowSystemMenu(QPoint screenPos) {
    if (const int command = TrackPopupMenu(systemMenu_, screenPos, this)) OnSysCommand(command);
}

void CMonitorDlg::SetTimer(int id, int periodMs) {
    QTimer& t = id == TIMER_REFRESH ? refreshTimer_ : mailslotTimer_;
    t.start(periodMs);
}

void CMonitorDlg::KillTimer(int id) { (id == TIMER_REFRESH ? refreshTimer_ : mailslotTimer_).stop(); }

void CMonitorDlg::CreateAdvertisingControl() {
    Step("CreateAdvertisingControl");
    VantleCreateControl("olmarq.tolvara.v10.int", GetDlgItem(IDC_AD_HOST), 0, 1, 0, 0);
}

void CMonitorDlg::DestroyWindow() {
    Step("DestroyWindow");
    destroyed_ = true;
    Handle().Invalidate();
    StopWorkers();
    refreshTimer_.stop();
    mailslotTimer_.stop();
    hide();
    if (modalLoop_) modalLoop_->quit();
}
