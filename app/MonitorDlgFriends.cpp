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
    // Asked at the first failure, so a user who never pings is not told; nothing is sent.
    if (m.payload == PING_FAILED && !friends_.pingNotice && !options_.icmpEchoAllowed())
        friends_.pingNotice = ShowMissingPrivilege(
            "pingNotice", QStringLiteral("Ping은 모두 \"%1\": cap_net_raw 권한 필요").arg(QString::fromUtf8(PING_FAILED)),
            "neither a raw ICMP socket nor a ping socket is allowed, so every ping shows \"" +
                std::string(PING_FAILED) + '"',
            "let one of this user's groups open ping sockets with sysctl net.ipv4.ping_group_range",
            QStringLiteral("sysctl net.ipv4.ping_group_range로 이 사용자의 그룹에 ping 소켓을 허용하십시오"));
    list.SetItemText(friends_.ping->row, 1, QString::fromStdString(m.payload));
    if (!ContinuePingPass(friends_.ping, list.GetItemCount(), FriendAddresses())) GetDlgItem(IDC_PING)->setEnabled(true);
}
