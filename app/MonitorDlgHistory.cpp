// The main window's connection history and access log: history lines, log lines and
// marks, the alarm, and opening today's log.
#include <QApplication>
#include <QListWidget>

#include "app/AlarmNotifications.h"
#include "app/CMonitorDlg.h"
#include "log/AccessLog.h"
#include "log/AccessLogViewerUi.h"
#include "log/CExportLogDlg.h"
#include "log/DesktopTextProgram.h"
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
        while (history->count() > MAX_HISTORY_LINES) delete history->takeItem(history->count() - 1);
        if (settings_.externalAlarm && ev.letter == 'C') ShowAlarm(shown);
    }
}

// A connect goes to the desktop's notifications unless the user chose boxes; they hand
// back as a box whatever they cannot show.
void CMonitorDlg::ShowAlarm(const QString& line) {
    if (notifications_ && preferences_.alarmStyle != AlarmStyle::Box) notifications_->Show(line);
    else ShowAlarmBox(line);
}

// One alarm box at a time: a connect that arrives while one is open (its loop serves
// posted events) waits, and is shown when the box before it closes. Without this every
// connect nested another box until the stack ran out.
void CMonitorDlg::ShowAlarmBox(const QString& line) {
    if (waitingAlarms_.size() < MAX_WAITING_ALARMS) waitingAlarms_.push_back(line);
    if (alarmOpen_) return;
    alarmOpen_ = true;
    while (!waitingAlarms_.empty() && !destroyed_) {
        const QString next = waitingAlarms_.front();
        waitingAlarms_.pop_front();
        ShowMessageBox(this, next, QString::fromUtf8(ALARM_CAPTION), MB_OK | MB_TOPMOST);
    }
    waitingAlarms_.clear();
    alarmOpen_ = false;
}

void CMonitorDlg::WriteAccessLog(int mode, const std::string& text) {
    ::WriteAccessLog(workDir_, mode, text, options_.clock());
}

// The desktop's program for text files shows today's log; where there is none, where
// it needs a terminal or where the opener fails, a window of our own does, so the
// command always shows something.
void CMonitorDlg::OnViewAccessLog() {
    const std::string path = AccessLogPath(workDir_, options_.clock());
    OpenWithDesktopTextProgram(path, this, [this, path](bool shown) {
        if (!shown && !destroyed_) ShowAccessLogViewer(this, path);
    });
}

// The folder's logs to a file the user names, with names mapped back through the table
// the window shows; one box tells how it went.
void CMonitorDlg::OnExportAccessLog() {
    CExportLogDlg dlg(workDir_);
    if (dlg.DoModal() != IDOK) return;
    std::vector<ExportProblem> problems;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const ExportResult result = ExportHistory(dlg.Request(), portNames_, [&](const ExportProblem& p) {
        if (problems.size() < MAX_PROBLEMS_SHOWN) problems.push_back(p);
    });
    QApplication::restoreOverrideCursor();
    const bool clean = result.error == ExportError::None && result.problems == 0;
    ShowMessageBox(this, ExportReportText(dlg.Request(), result, problems), dlg.windowTitle(),
                   MB_OK | (clean ? 0 : MB_ICONEXCLAMATION));
}
