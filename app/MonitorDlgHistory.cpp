// The main window's connection history and access log: history lines, log lines and
// marks, the alarm, and opening today's log.
#include <QListWidget>

#include "app/CMonitorDlg.h"
#include "log/AccessLog.h"
#include "monitor/ConnectionHistory.h"
#include "platform/MessageBoxUi.h"

void CMonitorDlg::OnConnEvent(const std::string& text) {
    ConnEvent ev;
    QListWidget* history = monitor_.history;
    // Only the tracker posts these; a text that does not parse is dropped.
    if (ParseConnEvent(text, ev) && !IsIgnoredPort(IgnoreFlagsOf(settings_), ev.remotePort)) {
        const std::string line = FormatHistoryLine(options_.clock(), ev, portNames_);
        const QString shown = QString::fromStdString(line);
        history->insertItem(0, shown);
        if (settings_.keepAccessLog) WriteAccessLog(LOG_LINE, line);
        if (settings_.externalAlarm && ev.letter == 'C')
            ShowMessageBox(this, shown, QString::fromUtf8(ALARM_CAPTION), MB_OK | MB_TOPMOST);
    }
    while (history->count() > MAX_HISTORY_LINES) delete history->takeItem(history->count() - 1);
}

void CMonitorDlg::WriteAccessLog(int mode, const std::string& text) {
    ::WriteAccessLog(workDir_, mode, text, options_.clock());
}

void CMonitorDlg::OnViewAccessLog() { OpenAccessLogInEditor(workDir_, options_.clock()); }
