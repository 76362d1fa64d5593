// The main window's settings: the settings file and the preferences beside it, and
// applying a confirmed settings dialog to the running program.
#include "app/AlarmNotifications.h"
#include "app/CMonitorDlg.h"
#include "app/CSettingsDlg.h"
#include "log/AccessLog.h"

bool CMonitorDlg::ReadSettings() { return ReadSettingsFile(WorkFile(SETTINGS_FILE_NAME), settings_); }

void CMonitorDlg::WriteSettings() { WriteSettingsFile(WorkFile(SETTINGS_FILE_NAME), settings_); }

void CMonitorDlg::ReadPreferences() { preferences_ = ReadPreferencesFile(WorkFile(PREFERENCES_FILE_NAME)); }

void CMonitorDlg::WritePreferences() { WritePreferencesFile(WorkFile(PREFERENCES_FILE_NAME), preferences_); }

void CMonitorDlg::OnSettings() {
    CSettingsDlg dlg;
    dlg.SetRecord(&settings_);
    dlg.SetAlarmStyle(&preferences_.alarmStyle, notifications_ && notifications_->Available());
    const int oldInterval = settings_.refreshInterval;
    const int oldMode = settings_.displayMode;
    const bool oldLog = settings_.keepAccessLog != 0;
    const bool oldNames = settings_.showPortNames != 0;
    if (dlg.DoModal() != IDOK) return;

    WriteSettings();
    WritePreferences();
    portNames_.SetShowNames(settings_.showPortNames ? 1 : 0);
    if (settings_.refreshInterval != oldInterval) {
        KillTimer(TIMER_REFRESH);
        SetTimer(TIMER_REFRESH, RefreshPeriodMs(settings_.refreshInterval));
    }
    if ((settings_.displayMode != oldMode || (settings_.showPortNames != 0) != oldNames) &&
        monitor_.refreshRunning == 0)
        FillConnectionList(monitor_.agent->GetRecordCount());
    const bool nowLog = settings_.keepAccessLog != 0;
    if (nowLog != oldLog) WriteAccessLog(nowLog ? LOG_START : LOG_END);
}
