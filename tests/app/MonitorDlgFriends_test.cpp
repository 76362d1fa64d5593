// Friends through the main window: the friend file in its list view, the reload after
// the friend-list dialog, and the ping pass walking the rows. Pings go to 127.0.0.1 only.
#include <QPushButton>

#include "friends/FriendFile.h"
#include "platform/Messages.h"
#include "support/MonitorHarness.h"

namespace {

class FriendsTest : public MonitorWindowTest {
protected:
    std::vector<std::string> Rows(TestMonitorDlg& dlg, int column = 0) {
        std::vector<std::string> rows;
        for (int i = 0; i < dlg.FriendList().GetItemCount(); ++i)
            rows.push_back(dlg.FriendList().GetItemText(i, column).toStdString());
        return rows;
    }
    bool PingEnabled(TestMonitorDlg& dlg) { return dlg.GetDlgItem(IDC_PING)->isEnabled(); }
};

using Lines = std::vector<std::string>;

}  // namespace

TEST_F(FriendsTest, TheFileFillsTheViewAndOnlyAModifiedOkReloadsIt) {
    WriteWholeFile(dir.file(FRIEND_FILE_NAME), "10.0.0.1\r\n10.0.0.2\r\n10.0.0.3\r\n");
    TestMonitorDlg dlg;
    ASSERT_TRUE(dlg.Initialize());
    EXPECT_EQ(Rows(dlg), (Lines{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
    EXPECT_EQ(Rows(dlg, 1), (Lines{"", "", ""}));

    // OK without a change rewrites the file in the dialog's order; the view stays.
    AnswerNextModal([](CDialogBase* d) { ClickButton(d, IDOK); });
    dlg.OnCommandId(ID_FRIEND_LIST);
    EXPECT_EQ(ReadWholeFile(dir.file(FRIEND_FILE_NAME)), "10.0.0.3\n10.0.0.2\n10.0.0.1\n");
    EXPECT_EQ(Rows(dlg), (Lines{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));

    // The dialog shows the file reversed; an added address goes on top, and the view is
    // loaded again.
    AnswerNextModal([](CDialogBase* d) {
        d->SetDlgItemText(IDC_IP_ADDRESS, QStringLiteral("10.0.0.4"));
        ClickButton(d, IDC_ADD_FRIEND);
        ClickButton(d, IDOK);
    });
    dlg.OnCommandId(ID_FRIEND_LIST);
    EXPECT_EQ(Rows(dlg), (Lines{"10.0.0.4", "10.0.0.1", "10.0.0.2", "10.0.0.3"}));

    // Cancel keeps everything as it was.
    AnswerNextModal([](CDialogBase* d) {
        d->SetDlgItemText(IDC_IP_ADDRESS, QStringLiteral("10.0.0.9"));
        ClickButton(d, IDC_ADD_FRIEND);
        ClickButton(d, IDCANCEL);
    });
    dlg.OnCommandId(ID_FRIEND_LIST);
    EXPECT_EQ(Rows(dlg).size(), 4u);
}

TEST_F(FriendsTest, APassWalksTheRowsOneAfterAnotherAndEnablesPingAtTheEnd) {
    WriteWholeFile(dir.file(FRIEND_FILE_NAME), "127.0.0.1\nno address\n127.0.0.1\n");
    TestMonitorDlg dlg;
    ASSERT_TRUE(dlg.Initialize());
    dlg.OnCommandId(ID_PING);
    EXPECT_FALSE(PingEnabled(dlg));
    ASSERT_TRUE(ProcessEventsUntil([&] { return PingEnabled(dlg); }, 5000));
    const Lines results = Rows(dlg, 1);
    ASSERT_EQ(results.size(), 3u);
    EXPECT_TRUE(results[0].ends_with("ms")) << results[0];
    EXPECT_EQ(results[1], "실패");
    EXPECT_TRUE(results[2].ends_with("ms")) << results[2];
}

TEST_F(FriendsTest, AnEmptyListPingsNothingAndAListReloadedMidPassIsWalkedOn) {
    TestMonitorDlg dlg;
    ASSERT_TRUE(dlg.Initialize());
    dlg.OnCommandId(ID_PING);
    EXPECT_TRUE(PingEnabled(dlg));

    // A result for row 0 arrives after the list was reloaded with two rows: the pass
    // writes row 0 of the new rows and goes on with row 1.
    WriteWholeFile(dir.file(FRIEND_FILE_NAME), "127.0.0.1\n");
    AnswerNextModal([](CDialogBase* d) {
        d->SetDlgItemText(IDC_IP_ADDRESS, QStringLiteral("127.0.0.2"));
        ClickButton(d, IDC_ADD_FRIEND);
        ClickButton(d, IDOK);
    });
    dlg.OnCommandId(ID_FRIEND_LIST);
    ASSERT_EQ(Rows(dlg).size(), 2u);
    // As a pass started before the reload would have left the block.
    dlg.GetDlgItem(IDC_PING)->setEnabled(false);
    dlg.Friends().ping->hwnd = dlg.Handle();
    dlg.Friends().ping->row = 0;
    dlg.Handle().PostMessage(WM_PING_RESULT, 0, "7ms");
    ASSERT_TRUE(ProcessEventsUntil([&] { return PingEnabled(dlg); }, 5000));
    EXPECT_EQ(Rows(dlg, 1)[0], "7ms");
    EXPECT_TRUE(Rows(dlg, 1)[1].ends_with("ms"));

    // Past the last row a result writes nothing and ends the pass.
    dlg.GetDlgItem(IDC_PING)->setEnabled(false);
    dlg.Friends().ping->row = 5;
    dlg.Handle().PostMessage(WM_PING_RESULT, 0, "9ms");
    EXPECT_TRUE(ProcessEventsUntil([&] { return PingEnabled(dlg); }, 1000));
    EXPECT_EQ(Rows(dlg, 1)[0], "7ms");
}

TEST_F(FriendsTest, AnOverlongFileIsCutAndTheUserToldOnce) {
    std::string lines;
    for (size_t i = 0; i <= MAX_FRIENDS; ++i) lines += "127.0.0.1\n";
    WriteWholeFile(dir.file(FRIEND_FILE_NAME), lines);
    MessageBoxRecorder boxes;
    TestMonitorDlg dlg;
    ASSERT_TRUE(dlg.Initialize());
    EXPECT_EQ(static_cast<size_t>(dlg.FriendList().GetItemCount()), MAX_FRIENDS);
    // The dialog reads the same file and says nothing more.
    AnswerNextModal([](CDialogBase* d) { ClickButton(d, IDCANCEL); });
    dlg.OnCommandId(ID_FRIEND_LIST);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text.toStdString(), "친구 목록(FRIEND.INI)이 10,000개를 넘어 처음 10,000개만 읽었습니다.");
}
