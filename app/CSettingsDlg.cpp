#include "app/CSettingsDlg.h"

#include <algorithm>
#include <cstdint>

namespace {
struct FlagBox {
    int control;
    uint8_t MonitorSettings::*flag;
};
constexpr FlagBox kFlagBoxes[] = {
    {1035, &MonitorSettings::showWindowAtStart}, {1009, &MonitorSettings::keepAccessLog},
    {1011, &MonitorSettings::ignoreHttp},        {1012, &MonitorSettings::ignoreTelnet},
    {1013, &MonitorSettings::ignoreFtp},         {1014, &MonitorSettings::ignorePop3},
    {1036, &MonitorSettings::externalAlarm},     {1015, &MonitorSettings::ignoreNntp},
    {1016, &MonitorSettings::ignoreNetbios},     {1017, &MonitorSettings::ignoreSmtp},
    {1019, &MonitorSettings::ignoreHttps},       {1037, &MonitorSettings::showPortNames},
};

// atoi of the field's first 39 characters, saturated instead of overflowing: a wrapped
// value could turn a huge interval into a tiny one.
int ParseInterval(const QString& text) {
    const std::string s = text.left(39).toStdString();
    long long v = 0;
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > INT32_MAX) v = INT32_MAX;
    }
    return static_cast<int>(negative ? -v : v);
}
}  // namespace

CSettingsDlg::CSettingsDlg(QWidget* parent) : CDialogBase(IDD_SETTINGS, parent) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
}

bool CSettingsDlg::OnInitDialog() {
    CDialogBase::OnInitDialog();
    if (!record_) return true;
    CheckDlgButton(1005, record_->displayMode == 0);
    CheckDlgButton(1007, record_->displayMode == 1);
    SetDlgItemText(1004, QString::number(record_->refreshInterval));
    for (const FlagBox& b : kFlagBoxes) CheckDlgButton(b.control, record_->*b.flag != 0);
    return true;
}

void CSettingsDlg::OnOK() {
    if (record_) {
        if (IsDlgButtonChecked(1005)) record_->displayMode = 0;
        else if (IsDlgButtonChecked(1007)) record_->displayMode = 1;
        const int interval = ParseInterval(GetDlgItemText(1004));
        // Stored capped, so the field shows next time the period the timer really runs.
        if (interval > 0) record_->refreshInterval = std::min(interval, MAX_REFRESH_INTERVAL);
        for (const FlagBox& b : kFlagBoxes) record_->*b.flag = IsDlgButtonChecked(b.control) ? 1 : 0;
    }
    EndDialog(1);
}
