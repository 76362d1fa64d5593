// The main window as the user and the timers meet it: dialog 102 and its controls,
// the start-up sequence, the start-up hiding rule, the refresh guard and the timers.
#include <QDialogButtonBox>
#include <QFontInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QTranslator>
#include <QTreeWidget>

#include <linux/capability.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "friends/PingWorker.h"
#include "platform/Messages.h"
#include "support/MonitorHarness.h"
#include "app/CMonitorApp.h"
#include "res/BitmapsUi.h"
#include "res/Templates.h"

namespace {

// Where the desktop has no notification area the window minimises instead of hiding
// (nothing could bring a hidden window back), and says so.
bool LooksHidden(CMonitorDlg& dlg) {
    if (QSystemTrayIcon::isSystemTrayAvailable()) return dlg.isHidden();
    return dlg.isMinimized() && CMonitorDlgTestPeer(dlg).HasNoTrayNotice();
}

bool LooksShown(const CMonitorDlg& dlg) { return dlg.isVisible() && !dlg.isMinimized(); }

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    return names;
}

MonitorSettings WithInterval(int seconds) {
    MonitorSettings s = DefaultSettings();
    s.refreshInterval = seconds;
    return s;
}

struct ExpectedControl {
    int id;
    const char* className;
    const char* caption;
    int x, y, w, h;  // dialog units
};

const ExpectedControl kControls[] = {
    {IDC_CONN_LIST, "QTreeView", "", 7, 36, 272, 159},
    {IDC_FRIEND_LIST, "QTreeWidget", "", 282, 36, 94, 159},
    {IDC_HISTORY, "QListWidget", "", 7, 201, 248, 63},
    {IDC_COMPUTER_NAME, "QPushButton", "컴 이름(&N)", 33, 17, 42, 16},
    {IDC_WHOIS, "QPushButton", "&Who Is", 78, 17, 42, 16},
    {IDC_SEND_MESSAGE, "QPushButton", "메시지(&M)", 123, 17, 42, 16},
    {IDC_SETTINGS, "QPushButton", "환경(&E)", 200, 17, 42, 16},
    {IDC_FRIEND_LIST_DLG, "QPushButton", "친구목록(&F)", 285, 17, 42, 16},
    {IDC_PING, "QPushButton", "Ping(&P)", 330, 17, 42, 16},
    {IDC_AD_HOST, "QLabel", "", 257, 201, 119, 39},
};

QRect Pixels(const CMonitorDlg& dlg, int x, int y, int w, int h) {
    const PixelRect r = DialogUnitsToPixels(x, y, w, h, dlg.BaseUnits());
    return QRect(r.x, r.y, r.w, r.h);
}

using MonitorDlgTest = MonitorWindowTest;

// Takes a capability out of this thread's effective set while it lives; a test run as
// root keeps it permitted and has it back afterwards.
class WithoutEffectiveCapability {
public:
    explicit WithoutEffectiveCapability(int cap) {
        if (::syscall(SYS_capget, &header_, saved_) != 0) return;
        __user_cap_data_struct reduced[_LINUX_CAPABILITY_U32S_3];
        std::copy(std::begin(saved_), std::end(saved_), reduced);
        reduced[cap / 32].effective &= ~(1u << (cap % 32));
        changed_ = ::syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~WithoutEffectiveCapability() {
        if (changed_) (void)::syscall(SYS_capset, &header_, saved_);
    }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[_LINUX_CAPABILITY_U32S_3]{};
    bool changed_ = false;
};

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

}  // namespace

// The real program's window, with the agent library beside the test, in a directory
// with no settings file; only its message endpoints are the test's own.
TEST_F(MonitorDlgTest, FreshStartShowsDialog102AndCreatesNoFile) {
    CMonitorDlg dlg(nullptr, PrivateEndpoints());
    CMonitorDlgTestPeer peer(dlg);
    ASSERT_TRUE(dlg.Initialize());
    dlg.show();
    ProcessEventsFor(50);

    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Tolvara v1.0 Beta"));
    EXPECT_EQ(peer.WorkingDirectory(), std::filesystem::canonical(dir.path()).string());
    // Defaults apply: a 3-second refresh, names shown, window kept at the first tick.
    EXPECT_EQ(peer.RefreshTimer().interval(), 3000);
    EXPECT_TRUE(peer.RefreshTimer().isActive());
    // The mailslot could be created, so its timer runs.
    EXPECT_NE(peer.Mailslot(), nullptr);
    EXPECT_EQ(peer.MailslotTimer().interval(), 3000);
    EXPECT_TRUE(peer.MailslotTimer().isActive());
    EXPECT_EQ(peer.PortNames().ShowNames(), 1);
    EXPECT_NE(dlg.GetDlgItem(IDC_AD_HOST)->findChild<QLabel*>(QStringLiteral("vantleBanner")), nullptr);

    // The dialog font is a Korean face, so the captions read as Korean.
    const QString family = QFontInfo(dlg.font()).family();
    EXPECT_TRUE(family.contains(QStringLiteral("Gulim")) || family.contains(QStringLiteral("Nanum")) ||
                family.contains(QStringLiteral("CJK")) || family.contains(QStringLiteral("Un")))
        << family.toStdString();
    EXPECT_TRUE(QFontMetrics(dlg.font()).inFont(QChar(u'컴')));
    EXPECT_TRUE(QFontMetrics(dlg.font()).inFont(QChar(u'상')));
    const DialogBaseUnits expectedUnits = BaseUnitsOf(DialogFont("Gulim", 9));
    EXPECT_EQ(dlg.BaseUnits().x, expectedUnits.x);
    EXPECT_EQ(dlg.BaseUnits().y, expectedUnits.y);
    EXPECT_GT(dlg.BaseUnits().x, 3);
    EXPECT_GT(dlg.BaseUnits().y, 8);
    EXPECT_EQ(dlg.size(), Pixels(dlg, 0, 0, 383, 271).size());

    for (const ExpectedControl& c : kControls) {
        SCOPED_TRACE(c.id);
        QWidget* w = dlg.GetDlgItem(c.id);
        ASSERT_NE(w, nullptr);
        EXPECT_STREQ(w->metaObject()->className(), c.className);
        EXPECT_EQ(w->geometry(), Pixels(dlg, c.x, c.y, c.w, c.h));
        EXPECT_EQ(dlg.GetDlgItemText(c.id), QString::fromUtf8(c.caption));
        if (auto* b = qobject_cast<QPushButton*>(w)) {
            EXPECT_EQ(b->isDefault(), c.id == IDC_PING);
        }
    }
    auto* host = dlg.Item<QLabel>(IDC_AD_HOST);
    EXPECT_EQ(host->frameShadow(), QFrame::Sunken);
    EXPECT_EQ(host->alignment(), Qt::AlignCenter);
    // The picture under the advertising area has no id of its own.
    bool pictureFound = false;
    for (QLabel* l : dlg.findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (l->geometry() == Pixels(dlg, 257, 245, 119, 19)) {
            pictureFound = true;
            EXPECT_FALSE(l->pixmap().isNull());
            EXPECT_EQ(l->frameShadow(), QFrame::Sunken);
        }
    }
    EXPECT_TRUE(pictureFound);

    QTreeView* conn = peer.ConnectionList().widget();
    ASSERT_EQ(peer.ConnectionList().GetColumnCount(), 5);
    const char* connHeads[] = {"상대방 주소", "자기 주소", "Proto", "상 태", "프로그램"};
    const int connWidths[] = {170, 170, 45, 90, 90};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(peer.ConnectionList().GetColumnHeading(i), QString::fromUtf8(connHeads[i]));
        EXPECT_EQ(conn->columnWidth(i), connWidths[i]);
        EXPECT_TRUE(conn->header()->defaultAlignment() & Qt::AlignLeft);
    }
    CListCtrl& friends = peer.FriendList();
    ASSERT_EQ(friends.GetColumnCount(), 2);
    EXPECT_EQ(friends.GetColumnHeading(0), QStringLiteral("친구 주소"));
    EXPECT_EQ(friends.GetColumnHeading(1), QStringLiteral("상 태"));
    EXPECT_EQ(friends.widget()->columnWidth(0), 95);
    EXPECT_EQ(friends.widget()->columnWidth(1), 65);
    for (CListCtrl* list : {&peer.ConnectionList(), &peer.FriendList()}) {
        EXPECT_EQ(list->GetExtendedStyle(), LVS_EX_FULLROWSELECT);
        EXPECT_EQ(list->widget()->selectionBehavior(), QAbstractItemView::SelectRows);
        EXPECT_EQ(list->widget()->selectionMode(), QAbstractItemView::SingleSelection);
    }

    // Four 16-pixel images cut from bitmap 144, white masked out.
    const QImage strip = LoadBitmapResource(IDB_CONN_IMAGES).toImage();
    ASSERT_EQ(strip.size(), QSize(64, 16));
    ASSERT_EQ(peer.ImageList().GetImageCount(), 4);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const QImage img = peer.ImageList().Image(i).convertToFormat(QImage::Format_ARGB32);
        ASSERT_EQ(img.size(), QSize(16, 16));
        int opaque = 0;
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x) {
                const QRgb src = strip.pixel(16 * i + x, y);
                if ((src & 0xFFFFFF) == 0xFFFFFF) {
                    EXPECT_EQ(qAlpha(img.pixel(x, y)), 0);
                } else {
                    EXPECT_EQ(img.pixel(x, y) | 0xFF000000u, src | 0xFF000000u);
                    ++opaque;
                }
            }
        EXPECT_GT(opaque, 0);
    }

    // The close box hides the window; the program goes on.
    dlg.close();
    EXPECT_EQ(peer.WindowVisible(), 0);
    EXPECT_TRUE(LooksHidden(dlg));
    EXPECT_FALSE(peer.IsDestroyed());
    EXPECT_TRUE(peer.RefreshTimer().isActive());

    ProcessEventsFor(50);
    EXPECT_TRUE(FilesIn(dir.path()).empty());
}

// The ping of 127.0.0.1 stays on this machine's loopback.
TEST_F(MonitorDlgTest, EnterPingsAndEscHidesWithoutEndingTheRun) {
    TestMonitorDlg dlg;
    int result = -1;
    bool runningAfterEsc = false;
    int visibleFlagAfterEsc = -1;
    bool hiddenAfterEsc = false;
    bool pingingAfterEnter = false;
    QString pingResult;
    QTimer::singleShot(100, &dlg, [&] {
        dlg.FriendList().InsertItem(0, QStringLiteral("127.0.0.1"));
        // Keys go to the focused list first and reach the dialog from there.
        QTreeView* list = dlg.ConnectionList().widget();
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Return);
        pingingAfterEnter = !dlg.GetDlgItem(IDC_PING)->isEnabled();
        ProcessEventsUntil([&] { return dlg.GetDlgItem(IDC_PING)->isEnabled(); }, 3000);
        pingResult = dlg.FriendList().GetItemText(0, 1);
        QTest::keyClick(list, Qt::Key_Escape);
        ProcessEventsFor(20);
        runningAfterEsc = !dlg.IsDestroyed();
        visibleFlagAfterEsc = dlg.WindowVisible();
        hiddenAfterEsc = LooksHidden(dlg);
        dlg.OnExit();
    });
    QTimer::singleShot(10000, &dlg, [&] { dlg.OnExit(); });  // never hang the suite
    result = dlg.DoModal();
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_TRUE(pingingAfterEnter);
    EXPECT_TRUE(pingResult.endsWith(QStringLiteral("ms"))) << pingResult.toStdString();
    EXPECT_TRUE(runningAfterEsc);
    EXPECT_EQ(visibleFlagAfterEsc, 0);
    EXPECT_TRUE(hiddenAfterEsc);
    EXPECT_TRUE(dlg.IsDestroyed());

    // A click on the default button is the same command.
    TestMonitorDlg other;
    ASSERT_TRUE(other.Initialize());
    other.show();
    other.FriendList().InsertItem(0, QStringLiteral("127.0.0.1"));
    QTest::mouseClick(other.Item<QPushButton>(IDC_PING), Qt::LeftButton);
    EXPECT_FALSE(other.GetDlgItem(IDC_PING)->isEnabled());
    EXPECT_TRUE(ProcessEventsUntil([&] { return other.GetDlgItem(IDC_PING)->isEnabled(); }, 3000));
    EXPECT_TRUE(other.FriendList().GetItemText(0, 1).endsWith(QStringLiteral("ms")));
}

TEST_F(MonitorDlgTest, StartUpRunsItsStepsInOrder) {
    TestMonitorDlg dlg;
    ASSERT_TRUE(dlg.Initialize());
    EXPECT_EQ(dlg.trace, (std::vector<std::string>{"AddTrayIcon", "CreateMessengerMailslot", "LoadFriendFile",
                                                   "InitializeAgent", "ReadSettings failed", "SetTimer 4444 3000",
                                                   "StartPeerReceiver", "RefreshConnections",
                                                   "CreateAdvertisingControl"}));
    // Lists and images are ready before the friend file is loaded; the port-name flag
    // comes from the (default) settings before the timers start; the receiver's block
    // names the window before the thread starts.
    EXPECT_EQ(dlg.columnsAtFriendFile, 52);
    EXPECT_EQ(dlg.imagesAtFriendFile, 4);
    EXPECT_EQ(dlg.showNamesAtTimer, 1);
    EXPECT_TRUE(dlg.peerLinkReadyAtReceiver);
    EXPECT_EQ(TheFakeAgent().Reads(), 1);
}

TEST_F(MonitorDlgTest, StartUpWithSettingsLogAndMailslot) {
    MonitorSettings s = WithInterval(7);
    s.keepAccessLog = 1;
    s.showPortNames = 0;
    WriteSettings(s);
    TestMonitorDlg dlg(kWithMailslot);
    ASSERT_TRUE(dlg.Initialize());
    EXPECT_EQ(dlg.trace,
              (std::vector<std::string>{"AddTrayIcon", "CreateMessengerMailslot", "LoadFriendFile", "InitializeAgent",
                                        "ReadSettings", "WriteAccessLog 0", "SetTimer 4444 7000",
                                        "SetTimer 4445 3000", "StartPeerReceiver", "RefreshConnections",
                                        "CreateAdvertisingControl"}));
    EXPECT_EQ(dlg.showNamesAtTimer, 0);
    EXPECT_NE(dlg.Mailslot(), nullptr);
    EXPECT_EQ(dlg.RefreshTimer().interval(), 7000);
    EXPECT_EQ(dlg.MailslotTimer().interval(), 3000);
    EXPECT_TRUE(dlg.MailslotTimer().isActive());
    EXPECT_EQ(ReadWholeFile(dir.file("20240305_tolvara.log")), "2024.03.05 09:07:02 - Start Log\n");
}

TEST_F(MonitorDlgTest, FailingAgentStopsStartUpAfterItsStep) {
    TheFakeAgent().initResult = 0;
    WriteSettings(WithInterval(1));
    TestMonitorDlg dlg(kWithMailslot);
    EXPECT_FALSE(dlg.Initialize());
    EXPECT_EQ(dlg.trace, (std::vector<std::string>{"AddTrayIcon", "CreateMessengerMailslot", "LoadFriendFile",
                                                   "InitializeAgent"}));
    EXPECT_FALSE(dlg.RefreshTimer().isActive());
    EXPECT_FALSE(dlg.MailslotTimer().isActive());
    EXPECT_EQ(dlg.GetDlgItem(IDC_AD_HOST)->findChild<QLabel*>(QStringLiteral("vantleBanner")), nullptr);
    EXPECT_EQ(TheFakeAgent().Reads(), 0);
    // The window still has its columns, and nothing ever refreshes it.
    EXPECT_EQ(dlg.ConnectionList().GetColumnCount(), 5);
    dlg.show();
    ProcessEventsFor(1300);
    EXPECT_EQ(TheFakeAgent().Reads(), 0);
    EXPECT_EQ(dlg.ConnectionList().GetItemCount(), 0);
    EXPECT_TRUE(LooksShown(dlg));
}

TEST_F(MonitorDlgTest, TimerPeriodIsTheIntervalInSeconds) {
    for (const auto& [interval, period] : std::vector<std::pair<int, int>>{{1, 1000}, {10, 10000}, {0, 3000}, {-4, 3000}}) {
        SCOPED_TRACE(interval);
        WriteSettings(WithInterval(interval));
        TestMonitorDlg dlg;
        ASSERT_TRUE(dlg.Initialize());
        EXPECT_EQ(dlg.RefreshTimer().interval(), period);
        EXPECT_TRUE(dlg.RefreshTimer().isActive());
        EXPECT_EQ(std::count(dlg.trace.begin(), dlg.trace.end(), "SetTimer 4444 " + std::to_string(period)), 1);
    }
}

TEST_F(MonitorDlgTest, HidesAtTheFirstTickOfTheMailslotTimer) {
    MonitorSettings s = WithInterval(30);
    s.showWindowAtStart = 0;
    WriteSettings(s);
    TestMonitorDlg dlg(kWithMailslot);
    ASSERT_TRUE(dlg.Initialize());
    dlg.show();
    EXPECT_TRUE(LooksShown(dlg));
    EXPECT_EQ(CMonitorDlg::startupFlag, 1);

    dlg.OnTimer(TIMER_MAILSLOT);
    EXPECT_EQ(dlg.polls, 1);
    EXPECT_EQ(TheFakeAgent().Reads(), 1);  // the mailslot tick does not refresh
    EXPECT_EQ(dlg.WindowVisible(), 0);
    EXPECT_TRUE(LooksHidden(dlg));
    EXPECT_EQ(CMonitorDlg::startupFlag, 0);
}

TEST_F(MonitorDlgTest, HidesAtTheFirstRefreshTickWithoutMailslot) {
    MonitorSettings s = WithInterval(1);
    s.showWindowAtStart = 0;
    WriteSettings(s);
    TestMonitorDlg dlg;
    ASSERT_TRUE(dlg.Initialize());
    EXPECT_FALSE(dlg.MailslotTimer().isActive());
    dlg.show();
    ProcessEventsFor(20);
    EXPECT_TRUE(LooksShown(dlg));

    // The real timer: shown for one interval, hidden by its first tick. The interval is
    // measured from the timer's start, so a slow start-up (under a sanitizer) cannot
    // shorten it; a coarse timer may fire up to 5 % early.
    EXPECT_TRUE(ProcessEventsUntil([&] { return LooksHidden(dlg); }, 3000));
    const qint64 shownFor = dlg.refreshTimerStarted.elapsed();
    EXPECT_GE(shownFor, 950);
    EXPECT_EQ(dlg.WindowVisible(), 0);
    EXPECT_EQ(CMonitorDlg::startupFlag, 0);
    EXPECT_EQ(TheFakeAgent().Reads(), 2);
    // A mailslot tick without a mailslot reads nothing.
    dlg.OnTimer(TIMER_MAILSLOT);
    EXPECT_EQ(dlg.polls, 0);
}

TEST_F(MonitorDlgTest, ShowAtStartKeepsTheWindowAndTheFlagClearsOnce) {
    TestMonitorDlg dlg(kWithMailslot);
    ASSERT_TRUE(dlg.Initialize());
    dlg.show();
    dlg.OnTimer(TIMER_REFRESH);
    EXPECT_EQ(CMonitorDlg::startupFlag, 0);
    EXPECT_TRUE(LooksShown(dlg));
    EXPECT_EQ(dlg.WindowVisible(), 1);

    // The rule looks at the setting only at the first tick.
    dlg.Settings().showWindowAtStart = 0;
    dlg.OnTimer(TIMER_MAILSLOT);
    dlg.OnTimer(TIMER_REFRESH);
    EXPECT_TRUE(LooksShown(dlg));
    EXPECT_EQ(dlg.WindowVisible(), 1);
    EXPECT_EQ(dlg.polls, 1);
    EXPECT_EQ(TheFakeAgent().Reads(), 3);
}

TEST_F(MonitorDlgTest, RefreshTickWhileTheErrorBoxIsOpenIsDropped) {
    TheFakeAgent().failEveryRequest = true;
    TestMonitorDlg dlg;
    std::vector<MessageBoxRequest> boxes;
    int readsDuringBox = -1;
    int depth = 0;
    SetMessageBoxHook([&](const MessageBoxRequest& r) {
        boxes.push_back(r);
        if (depth > 0) return IDOK;  // a nested refresh: counted, not recursed into
        ++depth;
        EXPECT_EQ(dlg.RefreshRunning(), 1);
        const int before = TheFakeAgent().Reads();
        dlg.OnTimer(TIMER_REFRESH);
        dlg.OnTimer(TIMER_REFRESH);
        readsDuringBox = TheFakeAgent().Reads() - before;
        --depth;
        return IDOK;
    });
    ASSERT_TRUE(dlg.Initialize());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(readsDuringBox, 0);
    EXPECT_EQ(TheFakeAgent().Reads(), 1);
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(boxes[0].caption, QStringLiteral("Tolvara"));
    EXPECT_EQ(boxes[0].text, QStringLiteral("SNMP Error Status = 5 Index = 1"));
    EXPECT_EQ(boxes[0].style, MB_OK);
    EXPECT_EQ(dlg.RefreshRunning(), 0);

    // The next tick after the box tries again, and fails with one box again.
    dlg.OnTimer(TIMER_REFRESH);
    EXPECT_EQ(boxes.size(), 2u);
    EXPECT_EQ(TheFakeAgent().Reads(), 2);

    // Once the agent answers, the list fills and no box comes.
    TheFakeAgent().failEveryRequest = false;
    TheFakeAgent().records = {TcpRecord("10.1.2.3", 4000, 5000)};
    dlg.OnTimer(TIMER_REFRESH);
    EXPECT_EQ(boxes.size(), 2u);
    EXPECT_EQ(dlg.ConnectionList().GetItemCount(), 1);
}

// Qt's own texts are Korean like the rest of the window: a message box's button and an
// edit field's context menu.
TEST(QtTranslation, ButtonsAndEditMenusAreKorean) {
    TestApp();
    QTranslator* qt = InstallQtTranslation();
    ASSERT_NE(qt, nullptr) << "Qt's Korean translation (qt6-translations-l10n) is missing";
    QDialogButtonBox box(QDialogButtonBox::Ok);
    const QString ok = box.button(QDialogButtonBox::Ok)->text();
    QLineEdit edit;
    std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
    QStringList items;
    for (QAction* a : menu->actions())
        if (!a->isSeparator()) items << a->text();
    QCoreApplication::removeTranslator(qt);
    delete qt;
    EXPECT_EQ(ok, QStringLiteral("확인"));
    ASSERT_EQ(items.size(), 7);
    EXPECT_TRUE(items[0].startsWith(QStringLiteral("실행 취소(&U)"))) << items[0].toStdString();
    for (const char* english : {"Undo", "Redo", "Cu&t", "&Copy", "&Paste", "Delete", "Select All"})
        EXPECT_FALSE(items.join('|').contains(QLatin1String(english))) << english;
}

// Port 138 refused and pings impossible are each told once, on stderr with the command
// that allows them and in the notice strip, where the notices share the room without
// running into each other. A second copy, which leaves the LAN to the first, says
// nothing about the port.
TEST_F(MonitorDlgTest, MissingPrivilegesAreToldOnceOnStderrAndInTheNoticeStrip) {
    WithoutEffectiveCapability noLowPorts(CAP_NET_BIND_SERVICE);
    if (const int fd = BindSharedUdpPort(138); fd >= 0 || errno != EACCES) {
        if (fd >= 0) ::close(fd);
        GTEST_SKIP() << "port 138 is open to this process without the capability";
    }
    static int pingAsked = 0;
    const auto withoutPrivileges = [](MonitorOptions& o) {
        o.receiveLanMessages = true;
        o.icmpEchoAllowed = [] { return ++pingAsked < 0; };
    };
    testing::internal::CaptureStderr();
    {
        TestMonitorDlg second(false, withoutPrivileges);
        ASSERT_TRUE(second.Initialize());
        EXPECT_EQ(second.Messaging().lanPortNotice, nullptr);
    }
    EXPECT_EQ(Count(testing::internal::GetCapturedStderr(), "port 138"), 0u);

    testing::internal::CaptureStderr();
    TestMonitorDlg dlg(kWithMailslot, withoutPrivileges);
    ASSERT_TRUE(dlg.Initialize());
    // A result other than a failure asks nothing; each failure would.
    dlg.Friends().ping->hwnd = dlg.Handle();
    for (const char* result : {"7ms", PING_FAILED, PING_FAILED}) dlg.Handle().PostMessage(WM_PING_RESULT, 0, result);
    ProcessEventsFor(50);
    dlg.OnClose();  // no tray on this platform: the third notice
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(pingAsked, 1);

    EXPECT_EQ(Count(err, "no notification area"), 1u) << err;
    EXPECT_EQ(Count(err, "Messenger messages from other computers cannot arrive"), 1u) << err;
    EXPECT_EQ(Count(err, "every ping shows \"실패\""), 1u) << err;
    EXPECT_EQ(Count(err, "setcap cap_net_bind_service,cap_net_raw=ep " +
                             QCoreApplication::applicationFilePath().toStdString()),
              2u)
        << err;
    EXPECT_EQ(dlg.findChildren<QLabel*>(QStringLiteral("pingNotice")).size(), 1u);
    QLabel* port = dlg.Messaging().lanPortNotice;
    QLabel* ping = dlg.Friends().pingNotice;
    QLabel* noTray = dlg.findChild<QLabel*>(QStringLiteral("noTrayNotice"));
    ASSERT_TRUE(port && ping && noTray);
    EXPECT_EQ(port->text(), QStringLiteral("다른 컴퓨터의 메신저 메시지 수신 불가: cap_net_bind_service 권한 필요"));
    EXPECT_EQ(ping->text(), QStringLiteral("Ping은 모두 \"실패\": cap_net_raw 권한 필요"));
    EXPECT_TRUE(ping->toolTip().contains(QStringLiteral("ping_group_range")));

    // In the order they came, inside the strip; the last one is cut short to fit, and its
    // tooltip holds the whole text.
    const QRect strip = Pixels(dlg, 7, 3, 369, 11);
    const QLabel* notices[] = {port, ping, noTray};
    for (const QLabel* n : notices) {
        EXPECT_FALSE(n->isHidden());
        EXPECT_TRUE(strip.contains(n->geometry())) << n->objectName().toStdString();
        EXPECT_LE(n->fontMetrics().horizontalAdvance(n->text()), n->width()) << n->objectName().toStdString();
    }
    EXPECT_LT(port->geometry().right(), ping->x());
    EXPECT_LT(ping->geometry().right(), noTray->x());
    EXPECT_TRUE(noTray->text().endsWith(QChar(0x2026))) << noTray->text().toStdString();
    EXPECT_TRUE(noTray->toolTip().startsWith(QStringLiteral("알림 영역(트레이)이 없어 창을 숨기지 않고 최소화합니다.")));
}
