// The main window's messaging: the Messenger mailslot and the peer messages.
#include "app/CMonitorDlg.h"

int CMonitorDlg::CreateMessengerMailslot() { return -1; }
void CMonitorDlg::CloseMailslot() { messaging_.mailslot = -1; }
void CMonitorDlg::PollMessengerMailslot() {}
void CMonitorDlg::StartPeerReceiver() {}
void CMonitorDlg::OnSendMessage() { Step("OnSendMessage"); }
void CMonitorDlg::OnSendMessageToSelection() { Step("OnSendMessageToSelection"); }
void CMonitorDlg::OnPeerMessage(const PostedMessage&) {}
