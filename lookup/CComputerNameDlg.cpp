#include "lookup/CComputerNameDlg.h"

#include <QApplication>
#include <QLabel>

#include "lookup/ReverseLookup.h"
#include "platform/IpAddressWidget.h"

CComputerNameDlg::CComputerNameDlg(QWidget* parent) : CDialogBase(IDD_COMPUTER_NAME, parent) {
    // Like every static text, the name is plain text, wrapped at the control's width.
    if (auto* result = Item<QLabel>(IDC_NAME_RESULT)) result->setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

bool CComputerNameDlg::OnInitDialog() {
    CDialogBase::OnInitDialog();
    if (!preset_.empty()) SetDlgItemText(IDC_IP_ADDRESS, QString::fromStdString(preset_));
    // Also a preset that reads as no address leaves nothing to look up.
    EnableWithAddress(IDC_START_LOOKUP);
    return true;
}

void CComputerNameDlg::OnCommand(int id) {
    if (id == IDC_START_LOOKUP) OnStart();
    else CDialogBase::OnCommand(id);
}

void CComputerNameDlg::OnStart() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    SetDlgItemText(IDC_NAME_RESULT, QString());
    const std::string address = AddressText().toStdString();
    SetDlgItemText(IDC_NAME_RESULT, QString::fromStdString(ComputerNameResultText(address)));
    GetDlgItem(IDC_IP_ADDRESS)->setFocus();
    QApplication::restoreOverrideCursor();
}
