#include "lookup/CWhoisDlg.h"

#include <QPlainTextEdit>
#include <cstdio>

#include "lookup/WhoisWorker.h"
#include "platform/IpAddressWidget.h"
#include "platform/Messages.h"

CWhoisDlg::CWhoisDlg(QWidget* parent) : CDialogBase(IDD_WHOIS, parent) {}

CWhoisDlg::~CWhoisDlg() {
    // Any way of closing stops the worker at once; it keeps its own hold on the block.
    if (link_) link_->Stop();
}

bool CWhoisDlg::OnInitDialog() {
    CDialogBase::OnInitDialog();
    if (!preset_.empty()) SetDlgItemText(IDC_IP_ADDRESS, QString::fromStdString(preset_));
    // Also a preset that reads as no address leaves nothing to query.
    EnableWithAddress(IDC_START_WHOIS);
    return true;
}

void CWhoisDlg::OnCommand(int id) {
    if (id == IDC_START_WHOIS) OnStart();
    else CDialogBase::OnCommand(id);
}

void CWhoisDlg::OnStart() {
    if (link_) return;  // one query at a time
    SetDlgItemText(IDC_WHOIS_RESULT, QString());
    // Each query gets its own block, so nothing of an earlier one can reach it.
    auto link = std::make_shared<ThreadLink>();
    const std::string address = AddressText().toStdString();
    std::snprintf(link->address, sizeof link->address, "%s", address.c_str());
    link->hwnd = Handle();
    GetDlgItem(IDC_IP_ADDRESS)->setEnabled(false);
    GetDlgItem(IDC_START_WHOIS)->setEnabled(false);
    SetDlgItemText(IDC_WHOIS_RESULT, QString::fromUtf8(kWhoisQueryingText));
    const WhoisConfig config = WhoisConfigFromEnvironment();
    protocol_ = config.protocol;
    link_ = link;
    if (!StartWhoisWorker(std::move(link), config)) {
        link_.reset();
        SetDlgItemText(IDC_WHOIS_RESULT, QString::fromUtf8(kWhoisFailedText));
        SetIdle();
    }
}

void CWhoisDlg::OnPostedMessage(PostedMessage& message) {
    if (message.message == WM_WHOIS_DONE) OnWhoisDone();
}

void CWhoisDlg::OnWhoisDone() {
    if (!link_) return;
    // The worker posted as its last act on the block; the reply is ours now.
    const std::unique_ptr<std::string> reply = std::move(link_->text);
    link_.reset();
    const std::optional<std::string> shown = reply ? WhoisShownText(protocol_, *reply) : std::nullopt;
    SetDlgItemText(IDC_WHOIS_RESULT, QString::fromStdString(shown ? *shown : std::string(kWhoisFailedText)));
    SetIdle();
}

void CWhoisDlg::SetIdle() {
    GetDlgItem(IDC_START_WHOIS)->setEnabled(true);
    QWidget* ip = GetDlgItem(IDC_IP_ADDRESS);
    ip->setEnabled(true);
    ip->setFocus();
}

void CWhoisDlg::OnCancel() {
    if (link_) link_->Stop();
    link_.reset();
    CDialogBase::OnCancel();
}
