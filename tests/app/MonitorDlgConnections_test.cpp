// The refresh cycle and the connection list view of the real main window, fed by a scripted agent.
#include <QContextMenuEvent>
#include <QLabel>
#include <QListWidget>
#include <QSignalSpy>
#include <QTreeView>

#include <random>

#include "support/MonitorHarness.h"
#include "monitor/ConnectionList.h"
#include "platform/PopupMenuUi.h"

namespace {

// The tables in the order the agent hands them back: TCP by local end, then UDP.
std::vector<ConnectionRecord> SampleTables() {
    return {
        TcpRecord("0.0.0.0", 0, 135, STATE_LISTEN, "0.0.0.0"),
        TcpRecord("10.1.2.3", 23, 1025, STATE_ESTABLISHED),
        TcpRecord("10.1.2.3", 25, 1026, 10),  // time-wait
        TcpRecord("10.1.2.4", 4000, 1027, 7),  // close-wait
        TcpRecord("10.1.2.5", 4001, 1028, 2),  // syn-sent
        UdpRecord(137),
        UdpRecord(44444, "127.0.0.1"),
    };
}

struct Row {
    int image;
    const char* columns[4];
};

const Row kAllRows[] = {
    {1, {"0.0.0.0:0", "0.0.0.0:135", "TCP", "Listen"}},
    {2, {"10.1.2.3:telnet", "192.168.0.2:blackjack", "TCP", "Established"}},
    {2, {"10.1.2.3:smtp", "192.168.0.2:1026", "TCP", "TimeWait"}},
    {3, {"10.1.2.4:4000", "192.168.0.2:1027", "TCP", "CloseWait"}},
    {0, {"10.1.2.5:4001", "192.168.0.2:1028", "TCP", "SynSent"}},
    {1, {"*:*", "0.0.0.0:137", "UDP", ""}},
    {1, {"*:*", "127.0.0.1:Tolvara", "UDP", ""}},
};

void ExpectRows(TestMonitorDlg& dlg, const std::vector<Row>& rows) {
    CListCtrl& list = dlg.ConnectionList();
    ASSERT_EQ(list.GetItemCount(), static_cast<int>(rows.size()));
    for (int i = 0; i < list.GetItemCount(); ++i) {
        SCOPED_TRACE(i);
        const Row& r = rows[static_cast<size_t>(i)];
        EXPECT_EQ(list.GetItemImage(i), r.image);
        EXPECT_FALSE(list.model()->index(i, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
        for (int c = 0; c < 4; ++c) EXPECT_EQ(list.GetItemText(i, c), QString::fromUtf8(r.columns[c])) << c;
    }
}

// Every change the list's model tells its view of, by kind.
struct ModelChanges {
    explicit ModelChanges(QAbstractItemModel* m)
        : inserted(m, &QAbstractItemModel::rowsInserted), removed(m, &QAbstractItemModel::rowsRemoved),
          changed(m, &QAbstractItemModel::dataChanged), reset(m, &QAbstractItemModel::modelReset),
          layout(m, &QAbstractItemModel::layoutChanged) {}
    int Count() const { return inserted.count() + removed.count() + changed.count() + reset.count() + layout.count(); }
    QSignalSpy inserted, removed, changed, reset, layout;
};

class ConnectionListTest : public MonitorWindowTest {
protected:
    void SetUp() override {
        MonitorWindowTest::SetUp();
        WriteWholeFile(dir.file("services"), "telnet 23/tcp\nsmtp 25/tcp\nblackjack 1025/tcp\n");
        TheFakeAgent().records = SampleTables();
    }
};

}  // namespace

TEST_F(ConnectionListTest, FillsRowsWithImagesColumnsAndStateNames) {
    TestMonitorDlg dlg;
    ASSERT_TRUE(dlg.Initialize());
    EXPECT_EQ(dlg.DisplayedCount(), 7);
    ExpectRows(dlg, std::vector<Row>(std::begin(kAllRows), std::end(kAllRows)));

    // Port names off: numbers only.
    dlg.PortNames().SetShowNames(0);
    EXPECT_EQ(dlg.FillConnectionList(dlg.Agent().GetRecordCount()), 7);
    EXPECT_EQ(dlg.ConnectionList().GetItemText(1, 0), QStringLiteral("10.1.2.3:23"));
    EXPECT_EQ(dlg.ConnectionList().GetItemText(1, 1), QStringLiteral("192.168.0.2:1025"));
    EXPECT_EQ(dlg.ConnectionList().GetItemText(6, 1), QStringLiteral("127.0.0.1:44444"));

    EXPECT_EQ(dlg.FillConnectionList(0), 0);
    EXPECT_EQ(dlg.ConnectionList().GetItemCount(), 0);
    EXPECT_EQ(dlg.FillConnectionList(-3), 0);
}

TEST_F(ConnectionListTest, DisplayModeOneShowsOnlyRowsWithARemoteEnd) {
    MonitorSettings s = DefaultSettings();
    s.displayMode = 1;
    WriteSettings(s);
    TestMonitorDlg dlg;
    ASSERT_TRUE(dlg.Initialize());
    EXPECT_EQ(dlg.DisplayedCount(), 7);  // the table keeps every record
    ExpectRows(dlg, {kAllRows[1], kAllRows[2], kAllRows[3], kAllRows[4]});

    // The settings command redraws with the agent's count after a mode change.
    dlg.Settings().displayMode = 0;
    EXPECT_EQ(dlg.FillConnectionList(dlg.Agent().GetRecordCount()), 7);
    EXPECT_EQ(dlg.ConnectionList().GetItemCount(), 7);
}

TEST_F(ConnectionListTest, UnchangedTableLeavesTheListAndTrackerAlone) {
    TestMonitorDlg dlg;
    ASSERT_TRUE(dlg.Initialize());
    dlg.show();
    ProcessEventsFor(20);
    ASSERT_EQ(dlg.HistoryList()->count(), 1);  // the established telnet row
    QTreeView* w = dlg.ConnectionList().widget();
    QAbstractItemModel* model = w->model();
    w->setCurrentIndex(model->index(3, 0));
    const QPersistentModelIndex selected(model->index(3, 0));
    auto selectedRow = [&] {
        const QModelIndexList rows = w->selectionModel()->selectedRows();
        return rows.size() == 1 ? rows[0].row() : -1;
    };
    ASSERT_EQ(selectedRow(), 3);

    ModelChanges unchanged(model);
    dlg.OnTimer(TIMER_REFRESH);
    ProcessEventsFor(20);
    EXPECT_EQ(TheFakeAgent().Reads(), 2);
    EXPECT_EQ(unchanged.Count(), 0);
    EXPECT_EQ(selectedRow(), 3);
    EXPECT_EQ(dlg.HistoryList()->count(), 1);

    // One byte differs (the established row closes): same count, tracked, and only
    // that row is told to the view, in place; the selected row stays selected.
    ModelChanges oneRow(model);
    TheFakeAgent().records[1].stateIndex = 7;
    dlg.OnTimer(TIMER_REFRESH);
    ProcessEventsFor(20);
    EXPECT_EQ(oneRow.inserted.count() + oneRow.removed.count() + oneRow.reset.count() + oneRow.layout.count(), 0);
    EXPECT_EQ(selected.row(), 3);
    EXPECT_EQ(selectedRow(), 3);
    EXPECT_EQ(dlg.ConnectionList().GetItemImage(1), 3);
    EXPECT_EQ(dlg.ConnectionList().GetItemText(1, 3), QStringLiteral("CloseWait"));
    ASSERT_FALSE(oneRow.changed.isEmpty());
    for (const QList<QVariant>& change : oneRow.changed) {
        EXPECT_EQ(change[0].toModelIndex().row(), 1);
        EXPECT_EQ(change[1].toModelIndex().row(), 1);
    }
    ASSERT_EQ(dlg.HistoryList()->count(), 2);
    EXPECT_TRUE(dlg.HistoryList()->item(0)->text().contains(QStringLiteral("<---단절---> 10.1.2.3 : telnet")));

    // The last record vanishes: the count differs, the list loses that row alone.
    ModelChanges lastRow(model);
    TheFakeAgent().records.pop_back();
    dlg.OnTimer(TIMER_REFRESH);
    EXPECT_EQ(dlg.DisplayedCount(), 6);
    ASSERT_EQ(lastRow.Count(), 1);
    ASSERT_EQ(lastRow.removed.count(), 1);
    EXPECT_EQ(lastRow.removed[0][1].toInt(), 6);
    EXPECT_EQ(lastRow.removed[0][2].toInt(), 6);
    EXPECT_EQ(selectedRow(), 3);
    EXPECT_EQ(dlg.ConnectionList().GetItemText(5, 1), QStringLiteral("0.0.0.0:137"));
}

TEST_F(ConnectionListTest, UpdatedListShowsWhatARebuildWouldShow) {
    TestMonitorDlg dlg;
    ASSERT_TRUE(dlg.Initialize());
    std::mt19937 rng(11);
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    for (int tick = 0; tick < 60; ++tick) {
        SCOPED_TRACE(tick);
        std::vector<ConnectionRecord>& records = TheFakeAgent().records;
        for (int e = pick(6); e > 0; --e) {
            const int size = static_cast<int>(records.size());
            if (size < 3 || pick(3) == 0)
                records.push_back(pick(4) ? TcpRecord(("10.9.0." + std::to_string(pick(30))).c_str(), 4000 + pick(40),
                                                      1024 + pick(2000), pick(12))
                                          : UdpRecord(pick(3000)));
            else if (pick(2))
                records.erase(records.begin() + pick(size));
            else
                records[static_cast<size_t>(pick(size))].stateIndex = pick(12);
        }
        if (tick % 10 == 9) {
            // As the settings command does after a change of mode or of port names.
            dlg.Settings().displayMode ^= 1;
            dlg.PortNames().SetShowNames(tick % 20 == 9 ? 0 : 1);
            dlg.FillConnectionList(dlg.Agent().GetRecordCount());
        } else {
            dlg.OnTimer(TIMER_REFRESH);
        }
        // The agent serves the table in its own order, which the list keeps.
        const int count = dlg.DisplayedCount();
        const std::vector<ConnectionRow> rebuilt = BuildConnectionRows(
            count, dlg.Monitor().Displayed().data(), dlg.Settings().displayMode, dlg.PortNames());
        CListCtrl& list = dlg.ConnectionList();
        ASSERT_EQ(list.GetItemCount(), static_cast<int>(rebuilt.size()));
        for (int i = 0; i < list.GetItemCount(); ++i) {
            const ConnectionRow& r = rebuilt[static_cast<size_t>(i)];
            ASSERT_EQ(list.GetItemImage(i), r.image) << "row " << i;
            for (int c = 0; c < 4; ++c)
                ASSERT_EQ(list.GetItemText(i, c).toStdString(), r.columns[c]) << "row " << i << " column " << c;
        }
    }
}

TEST_F(ConnectionListTest, AReadStoppedAtTheBoundIsToldOnceInTheWindow) {
    TestMonitorDlg dlg;
    dlg.Agent().SetRecordLimit(5);
    ASSERT_TRUE(dlg.Initialize());
    EXPECT_EQ(dlg.DisplayedCount(), 5);
    EXPECT_EQ(dlg.ConnectionList().GetItemCount(), 5);
    QLabel* notice = dlg.Monitor().limitNotice;
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(notice->text(), QStringLiteral("연결이 65,536개를 넘어 일부 연결을 놓쳤습니다."));
    EXPECT_FALSE(notice->isHidden());

    // Later reads, at the bound or below it, neither repeat nor take it back.
    dlg.OnTimer(TIMER_REFRESH);
    TheFakeAgent().records.resize(2);
    dlg.OnTimer(TIMER_REFRESH);
    EXPECT_EQ(dlg.DisplayedCount(), 2);
    EXPECT_EQ(dlg.findChildren<QLabel*>(QStringLiteral("connectionLimitNotice")).size(), 1);
    EXPECT_FALSE(notice->isHidden());

    // It shares the top strip with the notice of a missing tray (this platform has
    // none, so the close box minimises and says so), without the texts running into
    // each other.
    dlg.OnClose();
    QLabel* noTray = dlg.findChild<QLabel*>(QStringLiteral("noTrayNotice"));
    ASSERT_NE(noTray, nullptr);
    const int noTrayEnd = noTray->x() + noTray->fontMetrics().horizontalAdvance(noTray->text());
    const int noticeWidth = notice->fontMetrics().horizontalAdvance(notice->text());
    const int noticeStart =
        notice->alignment() & Qt::AlignRight ? notice->geometry().right() - noticeWidth : notice->x();
    EXPECT_LT(noTrayEnd, noticeStart);

    // A table below the bound from the start says nothing.
    TestMonitorDlg quiet;
    ASSERT_TRUE(quiet.Initialize());
    EXPECT_EQ(quiet.Monitor().limitNotice, nullptr);
}

TEST_F(ConnectionListTest, BothFamiliesWithTheirProgramsAndOneNoticeOfHiddenOwners) {
    FakeAgent& agent = TheFakeAgent();
    agent.bothFamilies = true;
    ConnectionRecord own = TcpRecord("::1", 5002, 33588, STATE_ESTABLISHED, "::1");
    ConnectionRecord listener = TcpRecord("::", 0, 8080, STATE_LISTEN, "::");
    own.pid = listener.pid = 41;
    agent.records = {TcpRecord("10.1.2.3", 25, 1026, STATE_TIME_WAIT), TcpRecord("10.1.2.4", 4000, 1027), listener,
                     own};
    agent.programs = {{41, "<b>web</b>"}};
    TestMonitorDlg dlg;
    ASSERT_TRUE(dlg.Initialize());
    // No process for the time-wait row, another user's for the foreign one, a name as
    // plain text with its PID in the tip.
    const QString hidden = QString::fromUtf8(HIDDEN_OWNER_TIP), pid = QStringLiteral("PID 41");
    const std::vector<std::vector<QVariant>> rows = {{"10.1.2.3:smtp", "192.168.0.2:1026", "", QVariant()},
                                                     {"10.1.2.4:4000", "192.168.0.2:1027", "?", hidden},
                                                     {"[::]:0", "[::]:8080", "<b>web</b>", pid},
                                                     {"[::1]:5002", "[::1]:33588", "<b>web</b>", pid}};
    CListCtrl& list = dlg.ConnectionList();
    ASSERT_EQ(list.GetItemCount(), 4);
    for (int i = 0; i < 4; ++i) {
        const std::vector<QVariant>& r = rows[static_cast<size_t>(i)];
        EXPECT_EQ(list.GetItemText(i, 0), r[0].toString());
        EXPECT_EQ(list.GetItemText(i, 1), r[1].toString());
        EXPECT_EQ(list.GetItemText(i, PROGRAM_COLUMN), r[2].toString());
        EXPECT_EQ(list.model()->index(i, PROGRAM_COLUMN).data(Qt::ToolTipRole), r[3]) << i;
    }
    ASSERT_NE(dlg.Monitor().hiddenOwnerNotice, nullptr);
    EXPECT_EQ(dlg.Monitor().hiddenOwnerNotice->textFormat(), Qt::PlainText);

    // An IPv6 row's popup keeps the look-ups but not the message, which no IPv6 peer gets.
    PopupRecorder menus;
    std::vector<int> disabled;
    menus.whileOpen = [&] { disabled = PopupMenuDisabledCommands(); };
    menus.answer = ID_SEND_MESSAGE_TO_SELECTION;
    ModalRecorder dialogs;
    dlg.OnConnListRightClick(3);
    EXPECT_STREQ(dlg.SelectedAddress(), "::1");
    dlg.OnContextMenu(QPoint(-1, -1));
    dlg.OnCommandId(ID_SEND_MESSAGE_TO_SELECTION);
    QCoreApplication::processEvents();
    EXPECT_EQ(disabled, std::vector<int>{ID_SEND_MESSAGE_TO_SELECTION});
    EXPECT_TRUE(dialogs.opened.empty());

    // Told once per run; connected-only leaves out the IPv6 listener as the IPv4 ones.
    agent.records.push_back(TcpRecord("10.1.2.9", 4001, 1029));
    dlg.OnTimer(TIMER_REFRESH);
    EXPECT_EQ(dlg.findChildren<QLabel*>(QStringLiteral("hiddenOwnerNotice")).size(), 1);
    dlg.Settings().displayMode = 1;
    dlg.FillConnectionList(dlg.Agent().GetRecordCount());
    EXPECT_EQ(list.GetItemCount(), 4);
    EXPECT_EQ(list.GetItemText(3, 0), QStringLiteral("[::1]:5002"));
}

TEST_F(ConnectionListTest, FailedOrEmptyReads) {
    TestMonitorDlg dlg;
    ASSERT_TRUE(dlg.Initialize());
    dlg.show();
    ProcessEventsFor(20);
    ModelChanges failed(dlg.ConnectionList().model());

    int boxes = 0;
    SetMessageBoxHook([&](const MessageBoxRequest&) { return ++boxes, IDOK; });
    TheFakeAgent().failEveryRequest = true;
    dlg.OnTimer(TIMER_REFRESH);
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(failed.Count(), 0);
    EXPECT_EQ(dlg.DisplayedCount(), 7);

    // A read with no record at all empties the list and tells the tracker.
    TheFakeAgent().failEveryRequest = false;
    TheFakeAgent().records.clear();
    dlg.OnTimer(TIMER_REFRESH);
    ProcessEventsFor(20);
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(dlg.DisplayedCount(), 0);
    EXPECT_EQ(dlg.ConnectionList().GetItemCount(), 0);
    EXPECT_EQ(dlg.Tracker().OccupiedCount(), 0);
    ASSERT_GE(dlg.HistoryList()->count(), 1);
    EXPECT_TRUE(dlg.HistoryList()->item(0)->text().contains(QStringLiteral("<---단절--->")));
}

TEST_F(ConnectionListTest, RightClickSelectsTheRemoteAddressOfConnectedRows) {
    TestMonitorDlg dlg;
    ASSERT_TRUE(dlg.Initialize());

    dlg.OnConnListRightClick(-1);  // empty space
    dlg.OnConnListRightClick(0);   // listening row
    dlg.OnConnListRightClick(5);   // UDP row
    EXPECT_EQ(dlg.SelectionMode(), 0);
    EXPECT_STREQ(dlg.SelectedAddress(), "");

    dlg.OnConnListRightClick(3);
    EXPECT_EQ(dlg.SelectionMode(), 1);
    EXPECT_STREQ(dlg.SelectedAddress(), "10.1.2.4");
}

TEST_F(ConnectionListTest, MouseRightClickOnARowOpensThePopupMenu) {
    TestMonitorDlg dlg;
    ASSERT_TRUE(dlg.Initialize());
    dlg.show();
    ProcessEventsFor(20);
    QTreeView* w = dlg.ConnectionList().widget();
    auto rowCentre = [&](int row) { return w->visualRect(w->model()->index(row, 0)).center(); };

    std::vector<int> menus;
    std::string selectedInMenu;
    int modeInMenu = -1;
    SetPopupMenuHook([&](int menuId, QPoint) {
        menus.push_back(menuId);
        selectedInMenu = dlg.SelectedAddress();
        modeInMenu = dlg.SelectionMode();
        return 0;
    });
    auto rightClick = [&](QPoint viewportPos) {
        QContextMenuEvent e(QContextMenuEvent::Mouse, viewportPos, w->viewport()->mapToGlobal(viewportPos));
        QCoreApplication::sendEvent(w->viewport(), &e);
    };
    rightClick(rowCentre(6));  // UDP row
    rightClick(rowCentre(0));  // listening row
    rightClick(QPoint(5, w->viewport()->height() - 3));           // below the rows
    EXPECT_TRUE(menus.empty());

    rightClick(rowCentre(2));
    SetPopupMenuHook({});
    EXPECT_EQ(menus, std::vector<int>{IDR_LIST_POPUP});
    EXPECT_EQ(selectedInMenu, "10.1.2.3");
    EXPECT_EQ(modeInMenu, 1);
}
