// The main window's connection monitor: the agent, the refresh cycle, the displayed
// table and the connection list.
#include <QLocale>
#include <QString>
#include <algorithm>

#include "app/CMonitorDlg.h"
#include "monitor/ConnectionList.h"
#include "platform/MessageBoxUi.h"

namespace {

bool AnyHiddenOwner(const std::vector<ConnectionRecord>& records) {
    return std::any_of(records.begin(), records.end(), [](const ConnectionRecord& r) { return r.owner == OWNER_HIDDEN; });
}

}  // namespace

bool CMonitorDlg::InitializeAgent() { return monitor_.agent->Initialize(); }

void CMonitorDlg::RefreshConnections() {
    Step("RefreshConnections");
    MonitorPart& m = monitor_;
    m.refreshRunning = 1;
    if (m.agent->ReadTables() != 0) {
        // Modal: ticks that arrive while it is open find the refresh running and drop out.
        AfxMessageBox(QString::fromLatin1(m.agent->errorText));
    } else {
        // Said once and for good in the notice strip, from its right end: a history line
        // would be pushed out by the next hundred events within seconds on a machine
        // this busy.
        if (m.agent->ReachedLimit() && !m.limitNotice)
            m.limitNotice = ShowNotice("connectionLimitNotice",
                                       QStringLiteral("연결이 %1개를 넘어 일부 연결을 놓쳤습니다.")
                                           .arg(QLocale(QLocale::Korean).toString(MAX_CONNECTIONS)),
                                       {}, true);
        const int count = m.agent->GetRecordCount();
        const ConnectionRecord* now = m.agent->records.data();
        const std::vector<ConnectionRecord>& displayed = m.Displayed();
        const int shown = static_cast<int>(displayed.size());
        if (TableChanged(count, now, shown, displayed.data())) {
            // The list and the tracker go by what changed; the rows that stayed cost nothing.
            const std::vector<RowChange> changes = DiffConnectionRecords(shown, displayed.data(), count, now);
            m.connRows->ApplyTableChanges(shown, displayed.data(), count, now, changes, settings_.displayMode);
            m.tracker.Update(count, displayed.data(), changes);
            // Said once per run, as netstat does above its table, why some program cells
            // read "?"; it stands left of the row-bound notice.
            if (!m.hiddenOwnerNotice && AnyHiddenOwner(displayed))
                m.hiddenOwnerNotice =
                    ShowNotice("hiddenOwnerNotice",
                               QStringLiteral("\"?\" 표시는 다른 사용자의 프로그램이라 볼 수 없는 연결입니다."), {}, true);
        }
    }
    m.refreshRunning = 0;
}

int CMonitorDlg::FillConnectionList(int count) {
    MonitorPart& m = monitor_;
    // Never past the displayed table: after a failed read the agent's count, which the
    // settings command passes, may be larger than what is displayed.
    count = std::clamp(count, 0, static_cast<int>(m.Displayed().size()));
    m.connRows->Show(count, m.Displayed().data(), settings_.displayMode);
    return count;
}

void CMonitorDlg::DeleteImageList() {
    Step("DeleteImageList");
    monitor_.imageList.DeleteImageList();
}
