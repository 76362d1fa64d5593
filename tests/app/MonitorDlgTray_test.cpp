// The notification-area icon, the list popup menu, the system menu and the exit command,
// driven on the offscreen platform (which has no notification area).
#include <gtest/gtest.h>

#include <QContextMenuEvent>
#include <QCursor>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>

#include "support/MonitorHarness.h"
#include "log/AccessLog.h"
#include "support/TestRecords.h"
#include "platform/Messages.h"

namespace {

using Trace = std::vector<std::string>;

LocalTime FixedNoon() { return LocalTime{2024, 3, 5, 12, 0, 0}; }

class TrayTest : public MonitorWindowTest {
protected:
    void SetUp() override {
        MonitorWindowTest::SetUp();
        TestClock::time = FixedNoon();
        dlg = std::make_unique<TestMonitorDlg>();
    }
    void TearDown() override {
        dlg.reset();
        MonitorWindowTest::TearDown();
    }

    // Initialises and shows the window, with the working directory in a temporary folder.
    void Start() {
        ASSERT_TRUE(dlg->Initialize());
        ASSERT_EQ(dlg->WorkingDirectory(), dir.path());
        dlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
        dlg->trace.clear();
    }

    // A mouse right click on a list's viewport, as the window system delivers it.
    void RightClick(CListCtrl& list, QPoint viewportPos) {
        QWidget* viewport = list.widget()->viewport();
        QContextMenuEvent e(QContextMenuEvent::Mouse, viewportPos, viewport->mapToGlobal(viewportPos));
        QApplication::sendEvent(viewport, &e);
    }
    void RightClickRow(CListCtrl& list, int row) {
        const QModelIndex index = list.model()->index(row, 0);
        ASSERT_TRUE(index.isValid());
        RightClick(list, list.widget()->visualRect(index).center());
    }
    void KeyboardContextMenu() {
        QContextMenuEvent e(QContextMenuEvent::Keyboard, QPoint(0, 0), dlg->mapToGlobal(QPoint(0, 0)));
        QApplication::sendEvent(dlg.get(), &e);
    }

    std::unique_ptr<TestMonitorDlg> dlg;
};

TEST_F(TrayTest, LeftClickShowsAHiddenWindowAndLeavesAShownOneShown) {
    Start();
    dlg->hide();
    dlg->OnClose();  // clears the visible flag, as the close box does
    dlg->hide();
    ASSERT_EQ(dlg->WindowVisible(), 0);

    EXPECT_EQ(dlg->OnTrayNotify(QSystemTrayIcon::Trigger), 0);
    EXPECT_EQ(dlg->WindowVisible(), 1);
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_FALSE(dlg->isMinimized());

    dlg->OnTrayNotify(QSystemTrayIcon::Trigger);
    EXPECT_EQ(dlg->WindowVisible(), 1);
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_TRUE(dlg->trace.empty());
}

TEST_F(TrayTest, DoubleClickAndOtherMouseMessagesDoNothing) {
    Start();
    dlg->OnClose();
    dlg->hide();
    PopupRecorder menus;
    for (auto reason : {QSystemTrayIcon::DoubleClick, QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Unknown})
        EXPECT_EQ(dlg->OnTrayNotify(reason), 0);
    EXPECT_EQ(dlg->WindowVisible(), 0);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_TRUE(menus.requests.empty());
}

TEST_F(TrayTest, RightClickOpensTheTrayMenuAtTheCursorAndRunsTheChoiceAfterItCloses) {
    Start();
    dlg->OnClose();
    dlg->hide();
    QCursor::setPos(QPoint(321, 234));
    PopupRecorder menus;
    menus.answer = ID_FRIEND_LIST;
    ModalRecorder dialogs;
    bool handledWhileOpen = false;
    menus.whileOpen = [&] { handledWhileOpen = !dialogs.opened.empty(); };

    EXPECT_EQ(dlg->OnTrayNotify(QSystemTrayIcon::Context), 0);
    ASSERT_EQ(menus.requests.size(), 1u);
    EXPECT_EQ(menus.requests[0].menuId, IDR_TRAY_MENU);
    EXPECT_EQ(menus.requests[0].pos, QCursor::pos());
    EXPECT_FALSE(handledWhileOpen);

    QCoreApplication::processEvents();
    EXPECT_EQ(dialogs.opened, (std::vector<ModalRecorder::Opened>{{IDD_FRIEND_LIST, "0.0.0.0"}}));
    // The tray menu works while the window stays hidden.
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(dlg->WindowVisible(), 0);
}

TEST_F(TrayTest, TrayMenuCommandsReachTheButtonsHandlers) {
    Start();
    PopupRecorder menus;
    // The dialogs open empty: no address is preset from the tray.
    const std::pair<int, int> commands[] = {{ID_SEND_MESSAGE, IDD_SEND_MESSAGE},
                                            {ID_WHOIS, IDD_WHOIS},
                                            {ID_COMPUTER_NAME, IDD_COMPUTER_NAME},
                                            {ID_FRIEND_LIST, IDD_FRIEND_LIST}};
    for (const auto& [command, dialog] : commands) {
        ModalRecorder dialogs;
        menus.answer = command;
        dlg->OnTrayNotify(QSystemTrayIcon::Context);
        QCoreApplication::processEvents();
        EXPECT_EQ(dialogs.opened, (std::vector<ModalRecorder::Opened>{{dialog, "0.0.0.0"}})) << command;
    }
    // A dismissed menu runs nothing.
    ModalRecorder dialogs;
    dlg->trace.clear();
    menus.answer = 0;
    dlg->OnTrayNotify(QSystemTrayIcon::Context);
    QCoreApplication::processEvents();
    EXPECT_TRUE(dialogs.opened.empty());
    EXPECT_TRUE(dlg->trace.empty());
}

TEST_F(TrayTest, SettingsFromTheTrayMenuOpenWhileTheWindowStaysHidden) {
    Start();
    dlg->OnClose();
    dlg->hide();
    PopupRecorder menus;
    menus.answer = ID_SETTINGS;
    QString title;
    bool seen = false;
    // The command arrives after the menu has closed; the dialog is answered from its loop.
    dlg->OnTrayNotify(QSystemTrayIcon::Context);
    QTimer::singleShot(0, [&] {
        AnswerNextModal(
            [&](CDialogBase* d) {
                title = d->windowTitle();
                EXPECT_FALSE(dlg->isVisible());
                ClickButton(d, IDCANCEL);
            },
            &seen);
    });
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_TRUE(seen);
    EXPECT_EQ(title, QStringLiteral("환경 설정"));
    EXPECT_FALSE(dlg->isVisible());
}

// The tray menu works while a dialog is open, so a command may find its dialog open: it
// comes forward rather than a second copy opening, whose OK would undo the first one's.
// Dialogs open centred on the main window, or on the screen while that is hidden.
TEST_F(TrayTest, AnOpenDialogComesForwardInsteadOfASecondAndDialogsOpenCentred) {
    Start();
    dlg->move(40, 60);
    const QPoint windowCentre = dlg->frameGeometry().center();
    auto command = [&](int id) { return [&, id] { dlg->OnCommandId(id); }; };
    const std::pair<std::function<void()>, int> openers[] = {
        {command(ID_SETTINGS), IDD_SETTINGS},         {command(ID_FRIEND_LIST), IDD_FRIEND_LIST},
        {command(ID_SEND_MESSAGE), IDD_SEND_MESSAGE}, {command(ID_WHOIS), IDD_WHOIS},
        {command(ID_COMPUTER_NAME), IDD_COMPUTER_NAME}, {[&] { dlg->OnSysCommand(IDM_ABOUTBOX); }, IDD_ABOUTBOX}};
    auto openCopies = [](int dialog) {
        int n = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<CDialogBase*>(w); d && d->isVisible() && d->Template().id == dialog) ++n;
        return n;
    };
    for (const auto& [open, dialog] : openers) {
        bool seen = false, stillOpen = false;
        int nested = 0, copies = 0;
        QPoint centre;
        AnswerNextModal(
            [&](CDialogBase* first) {
                centre = first->frameGeometry().center();
                // A second copy would run its own loop; it is counted and cancelled there.
                AnswerNextModal([&](CDialogBase* d) { nested += d != first; });
                open();
                copies = openCopies(dialog);
                stillOpen = first->isVisible();
                ProcessEventsFor(50);
            },
            &seen);
        open();
        ASSERT_TRUE(seen) << dialog;
        EXPECT_EQ(nested, 0) << dialog;
        EXPECT_EQ(copies, 1) << dialog;
        EXPECT_TRUE(stillOpen) << dialog;
        EXPECT_LE((centre - windowCentre).manhattanLength(), 3) << dialog;
    }

    dlg->OnClose();
    QPoint centre;
    AnswerNextModal([&](CDialogBase* d) { centre = d->frameGeometry().center(); });
    dlg->OnCommandId(ID_FRIEND_LIST);
    EXPECT_LE((centre - dlg->screen()->availableGeometry().center()).manhattanLength(), 3);
}

TEST_F(TrayTest, ContextMenuNeedsAQualifyingRow) {
    Start();
    dlg->ShowRecords({TcpRecord("10.1.2.3", 80, 50123), UdpRecord(137), TcpRecord("0.0.0.0", 0, 139, STATE_LISTEN)});
    ASSERT_EQ(dlg->ConnectionList().GetItemCount(), 3);
    PopupRecorder menus;

    // Anywhere on the window but a list row.
    QContextMenuEvent onWindow(QContextMenuEvent::Mouse, QPoint(5, 5), dlg->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(dlg.get(), &onWindow);
    // Empty part of the connection list, below its rows.
    RightClick(dlg->ConnectionList(), QPoint(10, dlg->ConnectionList().widget()->viewport()->height() - 3));
    // UDP and listening rows have no remote end to pick.
    RightClickRow(dlg->ConnectionList(), 1);
    RightClickRow(dlg->ConnectionList(), 2);
    EXPECT_TRUE(menus.requests.empty());
    EXPECT_EQ(dlg->SelectionMode(), 0);

    // The empty friend list has no rows either.
    RightClick(dlg->FriendList(), QPoint(10, 10));
    EXPECT_TRUE(menus.requests.empty());
}

TEST_F(TrayTest, ConnectionRowOpensThePopupAtTheClickAndSelectsTheRemoteAddress) {
    Start();
    dlg->ShowRecords({UdpRecord(137), TcpRecord("10.1.2.3", 80, 50123)});
    PopupRecorder menus;
    menus.answer = ID_COMPUTER_NAME_FOR_SELECTION;
    int modeWhileOpen = -1;
    menus.whileOpen = [&] { modeWhileOpen = dlg->SelectionMode(); };
    ModalRecorder dialogs;

    QTreeView* list = dlg->ConnectionList().widget();
    const QPoint at = list->visualRect(list->model()->index(1, 0)).center();
    RightClick(dlg->ConnectionList(), at);
    ASSERT_EQ(menus.requests.size(), 1u);
    EXPECT_EQ(menus.requests[0].menuId, IDR_LIST_POPUP);
    EXPECT_EQ(menus.requests[0].pos, list->viewport()->mapToGlobal(at));
    EXPECT_EQ(modeWhileOpen, 1);
    EXPECT_STREQ(dlg->SelectedAddress(), "10.1.2.3");
    EXPECT_EQ(dlg->SelectionMode(), 0);

    // The chosen command runs after the menu closed and still finds the address.
    QCoreApplication::processEvents();
    EXPECT_EQ(dialogs.opened, (std::vector<ModalRecorder::Opened>{{IDD_COMPUTER_NAME, "10.1.2.3"}}));
    EXPECT_STREQ(dlg->SelectedAddress(), "10.1.2.3");

    // The keyboard key afterwards finds the mode reset: no menu.
    KeyboardContextMenu();
    EXPECT_EQ(menus.requests.size(), 1u);
}

TEST_F(TrayTest, FriendRowSelectsWithModeTwoAndPopupCommandsReachTheirHandlers) {
    Start();
    dlg->FriendList().InsertItem(0, QStringLiteral("192.168.0.7"));
    dlg->FriendList().InsertItem(1, QStringLiteral("10.9.8.7"));
    PopupRecorder menus;
    int modeWhileOpen = -1;
    menus.whileOpen = [&] { modeWhileOpen = dlg->SelectionMode(); };
    // Each dialog opens with the row's address.
    const std::pair<int, int> commands[] = {{ID_SEND_MESSAGE_TO_SELECTION, IDD_SEND_MESSAGE},
                                            {ID_COMPUTER_NAME_FOR_SELECTION, IDD_COMPUTER_NAME},
                                            {ID_WHOIS_FOR_SELECTION, IDD_WHOIS}};
    for (const auto& [command, dialog] : commands) {
        ModalRecorder dialogs;
        menus.answer = command;
        RightClickRow(dlg->FriendList(), 1);
        EXPECT_EQ(modeWhileOpen, 2);
        EXPECT_EQ(dlg->SelectionMode(), 0);
        QCoreApplication::processEvents();
        EXPECT_EQ(dialogs.opened, (std::vector<ModalRecorder::Opened>{{dialog, "10.9.8.7"}})) << command;
        EXPECT_STREQ(dlg->SelectedAddress(), "10.9.8.7");
    }
    EXPECT_EQ(menus.requests.back().menuId, IDR_LIST_POPUP);
}

TEST_F(TrayTest, OverlongFriendTextIsCutToTheSelectionBuffer) {
    Start();
    dlg->FriendList().InsertItem(0, QStringLiteral("123.123.123.123.123.123"));
    dlg->OnFriendListRightClick(0);
    EXPECT_EQ(dlg->SelectionMode(), 2);
    EXPECT_EQ(std::string(dlg->SelectedAddress()).size(), 15u);
    dlg->OnFriendListRightClick(-1);  // no row: nothing changes
    EXPECT_EQ(dlg->SelectionMode(), 2);
}

TEST_F(TrayTest, KeyboardContextMenuOpensNearTheClientCorner) {
    Start();
    dlg->move(140, 90);
    QCoreApplication::processEvents();
    dlg->FriendList().InsertItem(0, QStringLiteral("192.168.0.7"));
    dlg->OnFriendListRightClick(0);
    PopupRecorder menus;
    KeyboardContextMenu();
    ASSERT_EQ(menus.requests.size(), 1u);
    EXPECT_EQ(menus.requests[0].pos, dlg->mapToGlobal(QPoint(0, 0)) + QPoint(5, 5));
    EXPECT_EQ(dlg->SelectionMode(), 0);
    KeyboardContextMenu();
    EXPECT_EQ(menus.requests.size(), 1u);
}

// ---- exit ----

struct ExitCase {
    bool mailslot;
    bool logging;
    Trace expected;
};

class ExitTest : public TrayTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(ExitTest, StepsRunInOrder) {
    const ExitCase& c = GetParam();
    MonitorSettings s = DefaultSettings();
    s.keepAccessLog = c.logging ? 1 : 0;
    dlg->fileSettings = s;
    dlg->withMailslot = c.mailslot;
    Start();
    ASSERT_NE(dlg->TrayIcon(), nullptr);
    EXPECT_EQ(dlg->TrayIcon()->toolTip(), QStringLiteral("Tolvara 1.0"));
    EXPECT_FALSE(dlg->TrayIcon()->icon().isNull());
    ASSERT_GT(dlg->ImageList().GetImageCount(), 0);

    dlg->OnCommandId(ID_EXIT);
    EXPECT_EQ(dlg->trace, c.expected);
    EXPECT_TRUE(dlg->IsDestroyed());
    EXPECT_EQ(dlg->TrayIcon(), nullptr);
    EXPECT_EQ(dlg->ImageList().GetImageCount(), 0);
    EXPECT_FALSE(dlg->RefreshTimer().isActive());
    EXPECT_FALSE(dlg->MailslotTimer().isActive());
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(dlg->Mailslot(), nullptr);
    const std::string log = ReadWholeFile(AccessLogPath(dir.path(), FixedNoon()));
    EXPECT_EQ(log, c.logging ? "2024.03.05 12:00:00 - Start Log\n2024.03.05 12:00:00 - End Log\n" : "");
}

INSTANTIATE_TEST_SUITE_P(
    MailslotAndLogging, ExitTest,
    ::testing::Values(
        ExitCase{true, true,
                 {"KillTimer 4445", "CloseMailslot", "KillTimer 4444", "DeleteImageList", "WriteAccessLog -1",
                  "RemoveTrayIcon", "DestroyWindow"}},
        ExitCase{true, false,
                 {"KillTimer 4445", "CloseMailslot", "KillTimer 4444", "DeleteImageList", "RemoveTrayIcon",
                  "DestroyWindow"}},
        ExitCase{false, true,
                 {"KillTimer 4444", "DeleteImageList", "WriteAccessLog -1", "RemoveTrayIcon", "DestroyWindow"}},
        ExitCase{false, false, {"KillTimer 4444", "DeleteImageList", "RemoveTrayIcon", "DestroyWindow"}}));

TEST_F(TrayTest, ExitFromTheTrayMenuEndsTheModalRun) {
    PopupRecorder menus;
    menus.answer = ID_EXIT;
    QTimer::singleShot(0, [&] { dlg->OnTrayNotify(QSystemTrayIcon::Context); });
    // Would hang, and the test time out, if the exit left the loop running.
    EXPECT_EQ(dlg->DoModal(), IDCANCEL);
    EXPECT_TRUE(dlg->IsDestroyed());
    EXPECT_EQ(dlg->trace.back(), "DestroyWindow");
}

TEST_F(TrayTest, ExitWhileADialogIsOpenClosesItAndEndsTheRun) {
    bool aboutClosed = false, seen = false;
    PopupRecorder menus;
    menus.answer = ID_EXIT;
    QTimer::singleShot(0, [&] {
        AnswerNextModal(
            [&](CDialogBase* about) {
                dlg->OnTrayNotify(QSystemTrayIcon::Context);
                QCoreApplication::processEvents();  // the chosen exit command runs
                aboutClosed = !about->isVisible();
            },
            &seen);
        dlg->OnSysCommand(IDM_ABOUTBOX);
    });
    EXPECT_EQ(dlg->DoModal(), IDCANCEL);
    EXPECT_TRUE(seen);
    EXPECT_TRUE(aboutClosed);
    EXPECT_TRUE(dlg->IsDestroyed());
}

// ---- system menu ----

TEST_F(TrayTest, SystemCommandSixteenRunsTheAboutBox) {
    Start();
    for (int command : {IDM_ABOUTBOX, IDM_ABOUTBOX | 0x7}) {
        bool seen = false;
        QString title, version;
        AnswerNextModal(
            [&](CDialogBase* about) {
                title = about->windowTitle();
                for (QLabel* l : about->findChildren<QLabel*>())
                    if (!l->text().isEmpty()) version = l->text();
                // Owned by the main window and modal to it alone, so the tray still works.
                EXPECT_EQ(about->parentWidget(), dlg.get());
                EXPECT_EQ(about->windowModality(), Qt::WindowModal);
                ClickButton(about, IDOK);
            },
            &seen);
        dlg->OnSysCommand(command);
        EXPECT_TRUE(seen) << command;
        EXPECT_EQ(title, QStringLiteral("Tolvara 정보"));
        EXPECT_EQ(version, QStringLiteral("Tolvara 버전 1.0 Beta"));
    }
    // Back to the main window unchanged.
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(dlg->WindowVisible(), 1);
    EXPECT_TRUE(dlg->trace.empty());

    // Other system commands open nothing (a modal box here would be answered and seen).
    bool seen = false;
    AnswerNextModal([](CDialogBase* d) { d->done(IDCANCEL); }, &seen);
    dlg->OnSysCommand(0xF020);  // minimise
    QCoreApplication::processEvents();
    EXPECT_FALSE(seen);
}

TEST_F(TrayTest, AltSpaceOpensTheSystemMenuWhereverTheFocusIs) {
    Start();
    dlg->activateWindow();
    QApplication::setActiveWindow(dlg.get());
    dlg->ConnectionList().widget()->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), dlg->ConnectionList().widget());
    QStringList items;
    bool aboutSeen = false;
    QTimer::singleShot(0, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) return;
        for (QAction* a : menu->actions())
            if (!a->isSeparator()) items << a->text();
        AnswerNextModal([](CDialogBase* about) { ClickButton(about, IDOK); }, &aboutSeen);
        QTest::keyClick(menu, Qt::Key_A);  // the About item's mnemonic
        if (menu->isVisible()) menu->close();
    });
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space, Qt::AltModifier);
    EXPECT_EQ(items.size(), 2);
    EXPECT_TRUE(items.contains(QStringLiteral("Tolvara 정보(&A)...")));
    EXPECT_TRUE(aboutSeen);
}

// ---- no notification area ----

TEST_F(TrayTest, WithoutATrayHidingMinimisesAndSaysSoOnce) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    MonitorSettings s = DefaultSettings();
    s.showWindowAtStart = 0;
    dlg->fileSettings = s;
    Start();
    EXPECT_FALSE(dlg->HasNoTrayNotice());

    // Start-up hiding at the first timer message.
    dlg->OnTimer(TIMER_REFRESH);
    EXPECT_EQ(dlg->WindowVisible(), 0);
    EXPECT_TRUE(dlg->isMinimized());
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_TRUE(dlg->HasNoTrayNotice());

    // The close box and Esc minimise again; the notice stays one.
    dlg->showNormal();
    dlg->close();
    EXPECT_TRUE(dlg->isMinimized());
    EXPECT_FALSE(dlg->IsDestroyed());
    dlg->showNormal();
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    EXPECT_TRUE(dlg->isMinimized());
    EXPECT_TRUE(dlg->isVisible());
    const auto notices = dlg->findChildren<QLabel*>(QStringLiteral("noTrayNotice"));
    ASSERT_EQ(notices.size(), 1);
    EXPECT_TRUE(notices[0]->isVisibleTo(dlg.get()));
    EXPECT_FALSE(notices[0]->text().isEmpty());
    // For people to look at: the notice must not cover the buttons.
    const QString artifacts = QStringLiteral(TOLVARA_BIN_DIR "/../artifacts");
    QDir().mkpath(artifacts);
    dlg->showNormal();
    dlg->grab().save(artifacts + QStringLiteral("/no-tray-notice.png"));

    // A left click, were there an icon to click, restores the window.
    dlg->OnTrayNotify(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(dlg->isMinimized());
    EXPECT_EQ(dlg->WindowVisible(), 1);
}

}  // namespace
