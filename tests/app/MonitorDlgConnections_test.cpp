// The refresh cycle and the connection list view of the real main window, fed by a scripted agent.
#include <QContextMenuEvent>
#include <QListWidget>
#include <QTreeWidget>

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
        EXPECT_FALSE(list.widget()->topLevelItem(i)->icon(0).isNull());
        for (int c = 0; c < 4; ++c) EXPECT_EQ(list.GetItemText(i, c), QString::fromUtf8(r.columns[c])) << c;
    }
}

std::vector<QTreeWidgetItem*> Items(TestMonitorDlg& dlg) {
    std::vector<QTreeWidgetItem*> items;
    QTreeWidget* w = dlg.ConnectionList().widget();
    for (int i = 0; i < w->topLevelItemCount(); ++i) items.push_back(w->topLevelItem(i));
    return items;
}

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
    QTreeWidget* w = dlg.ConnectionList().widget();
    w->setCurrentItem(w->topLevelItem(3));
    const std::vector<QTreeWidgetItem*> before = Items(dlg);

    dlg.OnTimer(TIMER_REFRESH);
    ProcessEventsFor(20);
    EXPECT_EQ(TheFakeAgent().Reads(), 2);
    EXPECT_EQ(Items(dlg), before);
    EXPECT_EQ(w->currentItem(), before[3]);
    EXPECT_EQ(w->selectedItems(), QList<QTreeWidgetItem*>{before[3]});
    EXPECT_EQ(dlg.HistoryList()->count(), 1);

    // One byte differs (the established row closes): same count, rebuilt, tracked.
    TheFakeAgent().records[1].stateIndex = 7;
    dlg.OnTimer(TIMER_REFRESH);
    ProcessEventsFor(20);
    EXPECT_TRUE(w->selectedItems().isEmpty());
    EXPECT_EQ(dlg.ConnectionList().GetItemImage(1), 3);
    EXPECT_EQ(dlg.ConnectionList().GetItemText(1, 3), QStringLiteral("CloseWait"));
    ASSERT_EQ(dlg.HistoryList()->count(), 2);
    EXPECT_TRUE(dlg.HistoryList()->item(0)->text().contains(QStringLiteral("<---단절---> 10.1.2.3 : telnet")));

    // The last record vanishes: the count differs, the list loses that row.
    TheFakeAgent().records.pop_back();
    dlg.OnTimer(TIMER_REFRESH);
    EXPECT_EQ(dlg.DisplayedCount(), 6);
    EXPECT_EQ(dlg.ConnectionList().GetItemCount(), 6);
    EXPECT_EQ(dlg.ConnectionList().GetItemText(5, 1), QStringLiteral("0.0.0.0:137"));
}

TEST_F(ConnectionListTest, FailedOrEmptyReads) {
    TestMonitorDlg dlg;
    ASSERT_TRUE(dlg.Initialize());
    dlg.show();
    ProcessEventsFor(20);
    const std::vector<QTreeWidgetItem*> before = Items(dlg);

    int boxes = 0;
    SetMessageBoxHook([&](const MessageBoxRequest&) { return ++boxes, IDOK; });
    TheFakeAgent().failEveryRequest = true;
    dlg.OnTimer(TIMER_REFRESH);
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(Items(dlg), before);
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
    QTreeWidget* w = dlg.ConnectionList().widget();

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
    rightClick(w->visualItemRect(w->topLevelItem(6)).center());  // UDP row
    rightClick(w->visualItemRect(w->topLevelItem(0)).center());  // listening row
    rightClick(QPoint(5, w->viewport()->height() - 3));           // below the rows
    EXPECT_TRUE(menus.empty());

    rightClick(w->visualItemRect(w->topLevelItem(2)).center());
    SetPopupMenuHook({});
    EXPECT_EQ(menus, std::vector<int>{IDR_LIST_POPUP});
    EXPECT_EQ(selectedInMenu, "10.1.2.3");
    EXPECT_EQ(modeInMenu, 1);
}
