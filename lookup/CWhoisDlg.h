#pragma once
#include <memory>
#include <string>

#include "lookup/WhoisQuery.h"
#include "platform/DialogUi.h"
#include "platform/ThreadLink.h"

// Dialog 149: an address's whois record, fetched by a worker thread so the dialog
// stays responsive and can be cancelled while the query runs.
class CWhoisDlg : public CDialogBase {
    Q_OBJECT
public:
    explicit CWhoisDlg(QWidget* parent = nullptr);
    ~CWhoisDlg() override;
    // The address shown at opening (the popup selection); empty for none.
    void SetPresetAddress(const std::string& address) { preset_ = address; }

    bool OnInitDialog() override;
    // The block of the query under way (empty when idle), for watching its worker end.
    std::weak_ptr<ThreadLink> QueryLink() const { return link_; }

protected:
    void OnCommand(int id) override;
    void OnCancel() override;
    void OnPostedMessage(PostedMessage& message) override;

private:
    void OnStart();
    void OnWhoisDone();
    void SetIdle();

    std::string preset_;
    std::shared_ptr<ThreadLink> link_;
    WhoisProtocol protocol_ = WhoisProtocol::Rfc3912;
};
