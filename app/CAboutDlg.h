#pragma once
#include "platform/DialogUi.h"

// The About box: its OK button ends it.
class CAboutDlg : public CDialogBase {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr) : CDialogBase(IDD_ABOUTBOX, parent) {
        setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    }
};
