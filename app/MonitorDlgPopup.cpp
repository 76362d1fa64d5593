// The main window's popup selection: right clicks on list rows choose the address
// the list popup menu's commands act on.
#include <QTimer>
#include <cstring>

#include "app/CMonitorDlg.h"
#include "monitor/ConnectionList.h"
#include "platform/PopupMenuUi.h"
#include "platform/TextUtil.h"

void CMonitorDlg::OnConnListRightClick(int item) {
    if (item < 0) return;
    if (SelectionFromRowText(monitor_.connList.GetItemText(item, 0).toStdString(), selection_.address))
        selection_.mode = 1;
}

void CMonitorDlg::OnFriendListRightClick(int item) {
    if (item < 0) return;
    const std::string text = friends_.friendList.GetItemText(item, 0).left(23).toStdString();
    // A friend's address is dotted IPv4; a hand-edited friend file may hold a longer
    // text, of which only that much is kept.
    const size_t room = 15;
    const size_t n = text.size() < room ? text.size() : room;
    std::memcpy(selection_.address, text.data(), n);
    selection_.address[n] = '\0';
    selection_.mode = 2;
}

void CMonitorDlg::OnContextMenu(QPoint pos) {
    if (selection_.mode == 0) return;
    if (pos == QPoint(-1, -1)) pos = mapToGlobal(QPoint(0, 0)) + QPoint(5, 5);
    // Messages go by the peer protocol and the mailslot, both IPv4 only.
    std::vector<int> disabled;
    if (IsIPv6Text(selection_.address)) disabled.push_back(ID_SEND_MESSAGE_TO_SELECTION);
    const int command = TrackPopupMenu(IDR_LIST_POPUP, pos, this, disabled);
    selection_.mode = 0;
    if (command) QTimer::singleShot(0, this, [this, command] { OnCommand(command); });
}
