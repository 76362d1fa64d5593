#include "messaging/CSendMessageDlg.h"

#include <QLineEdit>

#include "platform/IpAddressWidget.h"
#include "res/Resource.h"

namespace {
constexpr const char* kNoAddress = "0.0.0.0";
constexpr size_t kMaxAddressChars = 15;
}  // namespace

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
        const QString address = GetDlgItemText(IDC_IP_ADDRESS);
        if (address.isEmpty() || address == QLatin1String(kNoAddress)) return false;
    }
    return !GetDlgItemText(IDC_MESSAGE_TEXT).isEmpty();
}

void CSendMessageDlg::UpdateSendButton() { GetDlgItem(IDOK)->setEnabled(CanSend()); }

void CSendMessageDlg::OnOK() {
    addressText = GetDlgItemText(IDC_IP_ADDRESS).left(kMaxAddressChars).toStdString();
    DoDataExchange(true);
    EndDialog(IDOK);
}

void CSendMessageDlg::DeliverMessages(const Send& sendMessenger, const Send& sendPeer) const {
    if (!recipientName.empty()) sendMessenger(recipientName, messageText);
    if (addressText != kNoAddress) sendPeer(addressText, messageText);
}
