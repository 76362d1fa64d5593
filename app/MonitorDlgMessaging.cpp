// The main window's messaging: the Messenger mailslot and the peer messages.
#include <QSocketNotifier>
#include <cerrno>
#include <thread>

#include "app/CMonitorDlg.h"
#include "platform/TextUtil.h"
#include "messaging/MessengerMessage.h"
#include "messaging/CSendMessageDlg.h"
#include "messaging/MessengerSender.h"
#include "messaging/PeerProtocol.h"
#include "platform/MessageBoxUi.h"

std::unique_ptr<CMessengerMailslot> CMonitorDlg::CreateMessengerMailslot() {
    return CMessengerMailslot::Create(options_.mailslotName);
}

void CMonitorDlg::OpenMessengerMailslot() {
    MessagingPart& m = messaging_;
    m.mailslot = CreateMessengerMailslot();
    if (!m.mailslot) return;
    // The kernel keeps only a few datagrams per socket, so they are moved into the
    // mailslot's own queue as they arrive; the timer shows them one per tick.
    m.arrivals = new QSocketNotifier(m.mailslot->Fd(), QSocketNotifier::Read, this);
    connect(m.arrivals, &QSocketNotifier::activated, this, [this] {
        messaging_.mailslot->Drain();
        // A full queue leaves the rest in the socket, which stays readable.
        messaging_.arrivals->setEnabled(!messaging_.mailslot->Full());
    });
    if (!options_.receiveLanMessages) return;
    int bindError = 0;
    m.lan = StartLanMailslotReceiver(*m.mailslot, LanReceiverConfig{options_.smbConf}, &bindError);
    // Only the copy that holds the mailslot gets here, so a refusal is this copy's want
    // of privilege, not another copy receiving for it.
    if (!m.lan && (bindError == EACCES || bindError == EPERM))
        m.lanPortNotice = ShowMissingPrivilege(
            "lanPortNotice", QStringLiteral("다른 컴퓨터의 메신저 메시지 수신 불가: cap_net_bind_service 권한 필요"),
            "no privilege for UDP port 138, so Messenger messages from other computers cannot arrive");
}

void CMonitorDlg::CloseMailslot() {
    MessagingPart& m = messaging_;
    m.lan.reset();
    delete m.arrivals;
    m.arrivals = nullptr;
    m.mailslot.reset();
}

void CMonitorDlg::PollMessengerMailslot() {
    MessagingPart& m = messaging_;
    std::string message;
    if (!m.mailslot->ReadNext(message)) return;
    m.arrivals->setEnabled(true);
    if (auto text = FormatMessengerBoxText(options_.clock(), message))
        ShowMessageBox(this, QString::fromStdString(*text), QString::fromUtf8(MESSENGER_BOX_TITLE),
                       MB_OK | MB_TOPMOST);
}

void CMonitorDlg::SendMessengerMessage(const std::string& recipient, const std::string& text) {
    MessengerSendConfig config;
    config.localMailslot = options_.mailslotName;
    config.smbConf = options_.smbConf;
    auto& sends = messaging_.sends;
    std::erase_if(sends, [](const std::weak_ptr<ThreadLink>& send) { return send.expired(); });
    sends.push_back(::SendMessengerMessage(recipient, text, std::move(config)));
}

// Every worker ends at once, its socket shut down; none has anything left to post.
void CMonitorDlg::StopWorkers() {
    messaging_.peerLink->Stop();
    friends_.ping->Stop();
    for (const std::weak_ptr<ThreadLink>& send : messaging_.sends)
        if (const auto link = send.lock()) link->Stop();
}

// The receiver holds only the shared block; it ends when the window stops it, or at
// its next time-out once the window is gone.
void CMonitorDlg::StartPeerReceiver() { std::thread(PeerReceiverThread, messaging_.peerLink, options_.peerPort).detach(); }

void CMonitorDlg::OnPeerMessage(const PostedMessage&) {
    HandlePeerMessage(
        *messaging_.peerLink, options_.clock(),
        [this](const std::string& box) {
            ShowMessageBox(this, QString::fromStdString(box), QString::fromUtf8(PEER_BOX_TITLE), MB_OK | MB_TOPMOST);
        },
        [this](const std::string& address, const std::string& text) { SendPeerMessage(address, text); });
}

void CMonitorDlg::SendPeerMessage(const std::string& address, const std::string& text) {
    SendPeerDatagram(address, text, options_.peerPort);
}

void CMonitorDlg::OnSendMessage() {
    CSendMessageDlg dlg;
    if (dlg.DoModal() == IDOK) SendMessages(dlg);
}

void CMonitorDlg::OnSendMessageToSelection() {
    if (IsIPv6Text(selection_.address)) return;  // no message reaches an IPv6 address
    CSendMessageDlg dlg;
    dlg.addressText = selection_.address;
    if (dlg.DoModal() == IDOK) SendMessages(dlg);
}

void CMonitorDlg::SendMessages(const CSendMessageDlg& dlg) {
    dlg.DeliverMessages([this](const std::string& to, const std::string& text) { SendMessengerMessage(to, text); },
                        [this](const std::string& to, const std::string& text) { SendPeerMessage(to, text); });
}
