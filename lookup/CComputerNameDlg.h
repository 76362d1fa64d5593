#pragma once
#include <string>

#include "platform/DialogUi.h"

// Dialog 148: the computer name of an address, looked up on the window thread.
class CComputerNameDlg : public CDialogBase {
    Q_OBJECT
public:
    explicit CComputerNameDlg(QWidget* parent = nullptr);
    // The address shown at opening (the popup selection); empty for none.
    void SetPresetAddress(const std::string& address) { preset_ = address; }

    bool OnInitDialog() override;

protected:
    void OnCommand(int id) override;

private:
    void OnStart();

    std::string preset_;
};
