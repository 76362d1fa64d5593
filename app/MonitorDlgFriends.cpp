// The main window's friends: the friend list view, its dialog and the ping pass.
#include <QPushButton>

#include "app/CMonitorDlg.h"
#include "friends/CFriendListDlg.h"
#include "friends/FriendFile.h"
#include "platform/TextUtil.h"

void CMonitorDlg::LoadFriendFile() {
    CListCtrl& list = friends_.friendList;
    list.DeleteAllItems();
    int row = 0;
    for (const std::string& entry : ReadFriendsToShow(JoinPath(workDir_, FRIEND_FILE_NAME), this))
        list.InsertItem(row++, QString::fromStdString(entry));
}

void CMonitorDlg::OnFriendList() {
    CFriendListDlg dlg;
    dlg.SetWorkingDirectory(workDir_);
    if (dlg.DoModal() == IDOK && dlg.IsModified()) LoadFriendFile();
}

FriendAddressOf CMonitorDlg::FriendAddresses() const {
    return [this](int row) { return friends_.friendList.GetItemText(row, 0).toStdString(); };
}

void CMonitorDlg::OnPing() {
    if (!BeginPingPass(friends_.ping, Handle(), friends_.friendList.GetItemCount(), FriendAddresses())) return;
    GetDlgItem(IDC_PING)->setEnabled(false);
}

// The row count is read afresh at every result, so a list reloaded during a pass is
// walked on from the same row.
void CMonitorDlg::OnPingResult(const PostedMessage& m) {
    CListCtrl& list = friends_.friendList;
    list.SetItemText(friends_.ping->row, 1, QString::fromStdString(m.payload));
    if (!ContinuePingPass(friends_.ping, list.GetItemCount(), FriendAddresses())) GetDlgItem(IDC_PING)->setEnabled(true);
}
