// The main window's connection monitor: the agent, the refresh cycle, the displayed
// table and the connection list.
#include <QString>
#include <cstring>

#include "app/CMonitorDlg.h"
#include "monitor/ConnectionList.h"
#include "platform/MessageBoxUi.h"

bool CMonitorDlg::InitializeAgent() { return monitor_.agent->Initialize(); }

void CMonitorDlg::RefreshConnections() {
    Step("RefreshConnections");
    MonitorPart& m = monitor_;
    m.refreshRunning = 1;
    if (m.agent->ReadTables() != 0) {
        // Modal: ticks that arrive while it is open find the refresh running and drop out.
        AfxMessageBox(QString::fromLatin1(m.agent->errorText));
    } else {
        const int count = m.agent->GetRecordCount();
        if (TableChanged(count, m.agent->records, m.displayedCount, m.displayed)) {
            std::memcpy(m.displayed, m.agent->records, sizeof(ConnectionRecord) * static_cast<size_t>(count));
            m.displayedCount = count;
            FillConnectionList(count);
            m.tracker.Update(count, m.displayed);
        }
    }
    m.refreshRunning = 0;
}

int CMonitorDlg::FillConnectionList(int count) {
    CListCtrl& list = monitor_.connList;
    list.DeleteAllItems();
    if (count <= 0) return 0;
    if (count > MAX_CONNECTIONS) count = MAX_CONNECTIONS;
    const std::vector<ConnectionRow> rows =
        BuildConnectionRows(count, monitor_.displayed, settings_.displayMode, portNames_);
    int n = 0;
    for (const ConnectionRow& row : rows) {
        list.InsertItem(n, QString());
        list.SetItem(n, 0, QString::fromStdString(row.columns[0]), row.image);
        for (int column = 1; column < 4; ++column)
            list.SetItemText(n, column, QString::fromStdString(row.columns[column]));
        ++n;
    }
    return count;
}

void CMonitorDlg::DeleteImageList() {
    Step("DeleteImageList");
    monitor_.imageList.DeleteImageList();
}
