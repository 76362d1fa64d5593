#pragma once
#include "app/MonitorSettings.h"
#include "platform/DialogUi.h"

// Edits the main window's live settings record; only OK writes to it.
class CSettingsDlg : public CDialogBase {
    Q_OBJECT
public:
    explicit CSettingsDlg(QWidget* parent = nullptr);
    void SetRecord(MonitorSettings* record) { record_ = record; }
    // The alarm's form; the default shows as whatever the desktop allows now.
    void SetAlarmStyle(AlarmStyle* style, bool notificationsAvailable) {
        style_ = style;
        notificationsAvailable_ = notificationsAvailable;
    }

    bool OnInitDialog() override;
    void OnOK() override;

private:
    MonitorSettings* record_ = nullptr;
    AlarmStyle* style_ = nullptr;
    bool notificationsAvailable_ = false;
    bool shownAsNotification_ = false;
};
