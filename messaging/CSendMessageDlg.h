#pragma once
#include <functional>
#include <string>

#include "platform/DialogUi.h"

// Dialog 147: one message to a computer or workgroup name (mailslot), to an IPv4 address
// (peer datagram), or both. A preset address, as the list's context menu gives one,
// leaves only the datagram.
class CSendMessageDlg : public CDialogBase {
    Q_OBJECT
public:
    CSendMessageDlg();

    // Before the run: the preset address, or empty. After OK: the IP control's text,
    // "0.0.0.0" when no address was given. At most 15 characters.
    std::string addressText;
    std::string messageText;    // UTF-8, filled on OK
    std::string recipientName;  // UTF-8, filled on OK

    // A message and at least one destination.
    bool CanSend() const;

    // What the main window does after OK: the mailslot message to the name first, then
    // the datagram to the address, each only where one was given.
    using Send = std::function<void(const std::string& to, const std::string& text)>;
    void DeliverMessages(const Send& sendMessenger, const Send& sendPeer) const;

    bool OnInitDialog() override;
    void OnOK() override;

protected:
    void DoDataExchange(bool saveAndValidate);

private:
    void UpdateSendButton();
};
