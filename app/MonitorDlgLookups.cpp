// The main window's address look-ups: computer name and whois, opened empty or with
// the address of the row last right-clicked.
#include "app/CMonitorDlg.h"
#include "lookup/CComputerNameDlg.h"
#include "lookup/CWhoisDlg.h"

void CMonitorDlg::OnComputerName() {
    CComputerNameDlg dlg;
    dlg.DoModal();
}

void CMonitorDlg::OnComputerNameForSelection() {
    CComputerNameDlg dlg;
    dlg.SetPresetAddress(selection_.address);
    dlg.DoModal();
}

void CMonitorDlg::OnWhois() {
    CWhoisDlg dlg;
    dlg.DoModal();
}

void CMonitorDlg::OnWhoisForSelection() {
    CWhoisDlg dlg;
    dlg.SetPresetAddress(selection_.address);
    dlg.DoModal();
}
