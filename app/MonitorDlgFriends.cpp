// The main window's friends: the friend list view, its dialog and the ping pass.
#include "app/CMonitorDlg.h"

void CMonitorDlg::LoadFriendFile() {}
void CMonitorDlg::OnFriendList() { Step("OnFriendList"); }
void CMonitorDlg::OnPing() { Step("OnPing"); }
void CMonitorDlg::OnPingResult(const PostedMessage&) {}
