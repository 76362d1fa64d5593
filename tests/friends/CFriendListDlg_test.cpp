// The friend-list dialog driven by control id: order, Add's rules, Delete, saving.
#include "friends/CFriendListDlg.h"

#include <gtest/gtest.h>

#include <QListWidget>
#include <filesystem>

#include "friends/FriendFile.h"
#include "platform/IpAddressWidget.h"
#include "support/TestSupport.h"
#include "support/WidgetSupport.h"

namespace {

using Lines = std::vector<std::string>;

class FriendDialog : public ::testing::Test {
protected:
    FriendDialog() { TestApp(); }
    // Runs the dialog over `workDir`; `act` works inside its modal loop and ends it.
    void Run(const std::function<void(CFriendListDlg&)>& act, const std::string& workDir = {}) {
        CFriendListDlg dlg;
        dlg.SetWorkingDirectory(workDir.empty() ? dir.path() : workDir);
        AnswerNextModal([&act](CDialogBase* d) { act(*static_cast<CFriendListDlg*>(d)); });
        result = dlg.DoModal();
        modified = dlg.IsModified();
    }
    TempDir dir;
    const std::string file = dir.file(FRIEND_FILE_NAME);
    int result = 0;
    bool modified = false;
};

void Add(CFriendListDlg& d, const char* address) {
    d.Item<IpAddressWidget>(IDC_IP_ADDRESS)->setAddress(address);
    ClickButton(&d, IDC_ADD_FRIEND);
}
bool Enabled(CFriendListDlg& d, int id) { return d.GetDlgItem(id)->isEnabled(); }

TEST_F(FriendDialog, ShowsFileReversedAndSavesListOrder) {
    WriteWholeFile(file, "10.0.0.1\r\n10.0.0.2\r\n10.0.0.3\r\n");
    Run([](CFriendListDlg& d) {
        EXPECT_EQ(d.Entries(), (Lines{"10.0.0.3", "10.0.0.2", "10.0.0.1"}));
        EXPECT_FALSE(Enabled(d, IDC_ADD_FRIEND) || Enabled(d, IDC_DELETE_FRIEND));
        ClickButton(&d, IDOK);
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_FALSE(modified);  // saved all the same, but the main window need not reload
    EXPECT_EQ(ReadWholeFile(file), "10.0.0.3\n10.0.0.2\n10.0.0.1\n");
}

TEST_F(FriendDialog, AddSkipsAnEntryBeginningWithTheTextDeleteTakesOnlyTheSelection) {
    WriteWholeFile(file, "10.0.0.15\n10.0.0.2\n");
    Run([](CFriendListDlg& d) {
        Add(d, "10.0.0.1");
        EXPECT_EQ(d.Entries(), (Lines{"10.0.0.2", "10.0.0.15"}));
        EXPECT_EQ(d.GetDlgItemText(IDC_IP_ADDRESS), "0.0.0.0");
        EXPECT_FALSE(Enabled(d, IDC_ADD_FRIEND) || d.IsModified());
        auto* list = d.Item<QListWidget>(IDC_FRIENDS);
        list->setCurrentRow(0);
        list->clearSelection();
        ClickButton(&d, IDC_DELETE_FRIEND);  // nothing selected: nothing goes, yet modified
        EXPECT_TRUE(d.IsModified());
        Add(d, "10.0.0.150");
        EXPECT_EQ(d.Entries(), (Lines{"10.0.0.150", "10.0.0.2", "10.0.0.15"}));
        list->setCurrentRow(1);
        ClickButton(&d, IDC_DELETE_FRIEND);
        ClickButton(&d, IDC_DELETE_FRIEND);  // the deletion left nothing selected
        EXPECT_EQ(d.Entries(), (Lines{"10.0.0.150", "10.0.0.15"}));
        for (int i = 0; i < 2; ++i) list->setCurrentRow(0), ClickButton(&d, IDC_DELETE_FRIEND);
        ClickButton(&d, IDOK);
    });
    EXPECT_TRUE(modified);
    EXPECT_FALSE(std::filesystem::exists(file));  // an empty list leaves no file
}

TEST_F(FriendDialog, FailedSaveTellsTheUserAndKeepsTheDialogOpen) {
    const std::string work = dir.file("work");  // not there yet
    MessageBoxRecorder boxes;
    Run([&](CFriendListDlg& d) {
        Add(d, "10.0.0.9");
        ClickButton(&d, IDOK);
        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].owner, &d);
        EXPECT_TRUE(d.isVisible());
        std::filesystem::create_directory(work);
        ClickButton(&d, IDOK);
    }, work);
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(ReadWholeFile(work + "/" + FRIEND_FILE_NAME), "10.0.0.9\n");
}

}  // namespace
