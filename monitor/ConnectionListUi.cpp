// The main window's refresh cycle and its connection list.
#include <QString>
#include <cstring>

#include "app/CMonitorDlg.h"
#include "monitor/ConnectionList.h"
#include "platform/MessageBoxUi.h"

void CMonitorDlg::RefreshConnections() {
    refreshRunning_ = 1;
    if (agent_->ReadTables() != 0) {
        // Modal: ticks that arrive while it is open find the refresh running and drop out.
        AfxMessageBox(QString::fromLatin1(agent_->errorText));
    } else {
        const int count = agent_->GetRecordCount();
        if (TableChanged(count, agent_->records, displayedCount_, displayed_)) {
            std::memcpy(displayed_, agent_->records, sizeof(ConnectionRecord) * static_cast<size_t>(count));
            displayedCount_ = count;
            FillConnectionList(count);
            tracker_.Update(count, displayed_);
        }
    }
    refreshRunning_ = 0;
}

int CMonitorDlg::FillConnectionList(int count) {
    connList_.DeleteAllItems();
    if (count <= 0) return 0;
    if (count > MAX_CONNECTIONS) count = MAX_CONNECTIONS;
    const std::vector<ConnectionRow> rows = BuildConnectionRows(count, displayed_, settings_.displayMode, portNames_);
    int n = 0;
    for (const ConnectionRow& row : rows) {
        connList_.InsertItem(n, QString());
        connList_.SetItem(n, 0, QString::fromStdString(row.columns[0]), row.image);
        for (int column = 1; column < 4; ++column)
            connList_.SetItemText(n, column, QString::fromStdString(row.columns[column]));
        ++n;
    }
    return count;
}

void CMonitorDlg::OnConnListRightClick(int item) {
    if (item < 0) return;
    if (SelectionFromRowText(connList_.GetItemText(item, 0).toStdString(), selectedAddress_)) selectionMode_ = 1;
}
