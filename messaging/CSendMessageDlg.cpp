#include "messaging/CSendMessageDlg.h"

#include <QLineEdit>

#include "platform/IpAddressWidget.h"
#include "res/Resource.h"

CSendMessageDlg::CSendMessageDlg() : CDialogBase(IDD_SEND_MESSAGE, nullptr) {
    connect(Item<QLineEdit>(IDC_RECIPIENT_NAME), &QLineEdit::textChanged, this, [this] { UpdateSendButton(); });
    connect(Item<QLineEdit>(IDC_MESSAGE_TEXT), &QLineEdit::textChanged, this, [this] { UpdateSendButton(); });
    connect(Item<IpAddressWidget>(IDC_IP_ADDRESS), &IpAddressWidget::fieldChanged, this, [this] { UpdateSendButton(); });
}

void CSendMessageDlg::DoDataExchange(bool saveAndValidate) {
    if (saveAndValidate) {
        messageText = GetDlgItemText(IDC_MESSAGE_TEXT).toStdString();
        recipientName = GetDlgItemText(IDC_RECIPIENT_NAME).toStdString();
    } else {
        SetDlgItemText(IDC_MESSAGE_TEXT, QString::fromStdString(messageText));
        SetDlgItemText(IDC_RECIPIENT_NAME, QString::fromStdString(recipientName));
    }
}

bool CSendMessageDlg::OnInitDialog() {
    DoDataExchange(false);
    if (!addressText.empty()) {
        SetDlgItemText(IDC_IP_ADDRESS, QString::fromStdString(addressText));
        GetDlgItem(IDC_RECIPIENT_NAME)->setEnabled(false);
        GetDlgItem(IDC_IP_ADDRESS)->setEnabled(false);
        GetDlgItem(IDC_MESSAGE_TEXT)->setFocus();
    }
    GetDlgItem(IDOK)->setEnabled(false);
    return true;
}

bool CSendMessageDlg::CanSend() const {
    if (GetDlgItemText(IDC_RECIPIENT_NAME).isEmpty()) {
        const QString address = AddressText();
        if (address.isEmpty() || address == QLatin1String(NO_ADDRESS)) return false;
    }
    return !GetDlgItemText(IDC_MESSAGE_TEXT).isEmpty();
}

void CSendMessageDlg::UpdateSendButton() { GetDlgItem(IDOK)->setEnabled(CanSend()); }

void CSendMessageDlg::OnOK() {
    addressText = AddressText().toStdString();
    DoDataExchange(true);
    EndDialog(IDOK);
}

void CSendMessageDlg::DeliverMessages(const Send& sendMessenger, const Send& sendPeer) const {
    if (!recipientName.empty()) sendMessenger(recipientName, messageText);
    if (addressText != NO_ADDRESS) sendPeer(addressText, messageText);
}
