#include "app/CSettingsDlg.h"

#include <QAbstractButton>

#include <algorithm>
#include <cstdint>

#include "platform/TextUtil.h"

namespace {
struct FlagBox {
    int control;
    uint8_t MonitorSettings::*flag;
};
constexpr FlagBox kFlagBoxes[] = {
    {IDC_SHOW_AT_START, &MonitorSettings::showWindowAtStart}, {IDC_KEEP_LOG, &MonitorSettings::keepAccessLog},
    {IDC_IGNORE_HTTP, &MonitorSettings::ignoreHttp},        {IDC_IGNORE_TELNET, &MonitorSettings::ignoreTelnet},
    {IDC_IGNORE_FTP, &MonitorSettings::ignoreFtp},         {IDC_IGNORE_POP3, &MonitorSettings::ignorePop3},
    {IDC_ALARM, &MonitorSettings::externalAlarm},     {IDC_IGNORE_NNTP, &MonitorSettings::ignoreNntp},
    {IDC_IGNORE_NETBIOS, &MonitorSettings::ignoreNetbios},     {IDC_IGNORE_SMTP, &MonitorSettings::ignoreSmtp},
    {IDC_IGNORE_HTTPS, &MonitorSettings::ignoreHttps},       {IDC_SHOW_PORT_NAMES, &MonitorSettings::showPortNames},
};

}  // namespace

CSettingsDlg::CSettingsDlg(QWidget* parent) : CDialogBase(IDD_SETTINGS, parent) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    // The alarm's form means something only while there is an alarm.
    if (auto* alarm = Item<QAbstractButton>(IDC_ALARM); alarm && GetDlgItem(IDC_ALARM_NOTIFY))
        connect(alarm, &QAbstractButton::toggled, GetDlgItem(IDC_ALARM_NOTIFY), &QWidget::setEnabled);
}

bool CSettingsDlg::OnInitDialog() {
    CDialogBase::OnInitDialog();
    if (!record_) return true;
    CheckDlgButton(IDC_SHOW_ALL, record_->displayMode == 0);
    CheckDlgButton(IDC_SHOW_CONNECTED, record_->displayMode == 1);
    SetDlgItemText(IDC_INTERVAL, QString::number(record_->refreshInterval));
    for (const FlagBox& b : kFlagBoxes) CheckDlgButton(b.control, record_->*b.flag != 0);
    if (style_) {
        shownAsNotification_ = *style_ == AlarmStyle::Notification ||
                               (*style_ == AlarmStyle::Default && notificationsAvailable_);
        CheckDlgButton(IDC_ALARM_NOTIFY, shownAsNotification_);
    }
    if (QWidget* form = GetDlgItem(IDC_ALARM_NOTIFY)) form->setEnabled(IsDlgButtonChecked(IDC_ALARM));
    return true;
}

void CSettingsDlg::OnOK() {
    if (record_) {
        if (IsDlgButtonChecked(IDC_SHOW_ALL)) record_->displayMode = 0;
        else if (IsDlgButtonChecked(IDC_SHOW_CONNECTED)) record_->displayMode = 1;
        // atoi of the field's first 39 characters, saturated: a wrapped value could turn a
        // huge interval into a tiny one.
        const int interval = SaturatingAtoi(GetDlgItemText(IDC_INTERVAL).left(39).toStdString());
        // Stored capped, so the field shows next time the period the timer really runs.
        if (interval > 0) record_->refreshInterval = std::min(interval, MAX_REFRESH_INTERVAL);
        for (const FlagBox& b : kFlagBoxes) record_->*b.flag = IsDlgButtonChecked(b.control) ? 1 : 0;
    }
    // An untouched box keeps the default, which follows the desktop of each run.
    const bool asNotification = IsDlgButtonChecked(IDC_ALARM_NOTIFY);
    if (style_ && asNotification != shownAsNotification_)
        *style_ = asNotification ? AlarmStyle::Notification : AlarmStyle::Box;
    EndDialog(IDOK);
}
