// The main window's handler of connection events: history line, log line, alarm.
#include <QListWidget>

#include "app/CMonitorDlg.h"
#include "log/AccessLog.h"
#include "monitor/ConnectionHistory.h"
#include "platform/MessageBoxUi.h"
#include "platform/Messages.h"

void CMonitorDlg::OnConnEvent(const std::string& text) {
    ConnEvent ev;
    // Only the tracker posts these; a text that does not parse is dropped.
    if (ParseConnEvent(text, ev) && !IsIgnoredPort(settings_, ev.remotePort)) {
        const std::string line = FormatHistoryLine(options_.clock(), ev, portNames_);
        const QString shown = QString::fromStdString(line);
        history_->insertItem(0, shown);
        if (settings_.keepAccessLog) WriteAccessLog(LOG_LINE, line);
        if (settings_.externalAlarm && ev.letter == 'C')
            ShowMessageBox(this, shown, QString::fromUtf8(ALARM_CAPTION), MB_OK | MB_TOPMOST);
    }
    while (history_->count() > MAX_HISTORY_LINES) delete history_->takeItem(history_->count() - 1);
}
