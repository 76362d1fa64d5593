// The main window's address look-ups: computer name and whois.
#include "app/CMonitorDlg.h"

void CMonitorDlg::OnComputerName() { Step("OnComputerName"); }
void CMonitorDlg::OnWhois() { Step("OnWhois"); }
void CMonitorDlg::OnComputerNameForSelection() { Step("OnComputerNameForSelection"); }
void CMonitorDlg::OnWhoisForSelection() { Step("OnWhoisForSelection"); }
