#pragma once
#include <QDialog>
#include <QFont>
#include <QString>
#include <memory>

#include "platform/PostedQueue.h"
#include "platform/WindowRef.h"

#include "res/DialogUnits.h"
#include "res/Templates.h"

class QAbstractButton;

// The dialog font: the template's face mapped to an installed Korean face, sized as
// Windows sizes a point font on a 96-dpi screen.
QFont DialogFont(const char* face, int pointSize);
DialogBaseUnits BaseUnitsOf(const QFont& font);

// The program's main window. Modal dialogs and message boxes belong to it: they block
// it alone, as an owned window does, so the notification-area icon and its menu keep
// working while one is open.
void SetMainWindow(QWidget* window);
QWidget* MainWindow();
// Gives a window about to run modally the main window as its owner, when it has none.
void BelongToMainWindow(QWidget* window);
// Brings a window forward with the focus, from the minimised state too.
void RaiseWindow(QWidget* window);

// A dialog built from its template. Controls are found by numeric id, and the button
// commands reach OnCommand as WM_COMMAND would.
class CDialogBase : public QDialog {
    Q_OBJECT
public:
    explicit CDialogBase(int templateId, QWidget* parent = nullptr);
    ~CDialogBase() override;

    // The handle workers post to; messages arrive at OnPostedMessage on this thread,
    // and posts after the dialog is gone are dropped.
    const WindowRef& Handle() const { return hwnd_; }

    QWidget* GetDlgItem(int id) const;
    template <class T>
    T* Item(int id) const { return qobject_cast<T*>(GetDlgItem(id)); }

    void SetDlgItemText(int id, const QString& text);
    // The IPv4 address control's text as the dialogs take it: at most 15 characters
    // (a dotted address), NO_ADDRESS when its fields are blank.
    QString AddressText() const;
    // The rule of every dialog with an IPv4 address control: a button that needs an
    // address is enabled exactly while the control's text is not "0.0.0.0". Applies it
    // now and at every change of the control.
    void EnableWithAddress(int buttonId);
    QString GetDlgItemText(int id) const;
    bool IsDlgButtonChecked(int id) const;
    void CheckDlgButton(int id, bool checked);

    // Runs OnInitDialog and then the modal loop; returns IDOK or IDCANCEL.
    virtual int DoModal();
    void EndDialog(int result) { done(result); }

    const DialogTemplate& Template() const { return *template_; }
    DialogBaseUnits BaseUnits() const { return units_; }

    // Every control's numeric id is also its property "dlgId".
    static int ControlId(const QWidget* w);

    // The dialog of this template that is open now, if any. The tray menu works while a
    // dialog is open, so a command may find its dialog open already: it raises that one
    // rather than open a second copy whose OK would undo the first one's.
    static CDialogBase* FindOpen(int templateId);

protected:
    virtual bool OnInitDialog() { return true; }
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    virtual void OnCommand(int id);

    // A message a worker posted to Handle().
    virtual void OnPostedMessage(PostedMessage& /*message*/) {}

    bool eventFilter(QObject* watched, QEvent* e) override;
    void accept() override { OnOK(); }
    void reject() override { OnCancel(); }
    void showEvent(QShowEvent* e) override;

private:
    void Build();
    void Place();
    const DialogTemplate* template_;
    std::shared_ptr<PostedQueue> posted_ = std::make_shared<PostedQueue>();
    WindowRef hwnd_;
    DialogBaseUnits units_{};
    bool placed_ = false;
};
