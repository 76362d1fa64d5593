#pragma once
#include <QFrame>
#include <QString>

class QKeyEvent;
class QLineEdit;

// The text of a control whose fields are blank: no address.
inline constexpr const char* NO_ADDRESS = "0.0.0.0";

// Four-field IPv4 address entry. Blank fields read as 0, so an empty control's text is
// "0.0.0.0", which every dialog takes to mean "no address".
//
// Typing goes on from field to field as in one line of text: the third digit moves to
// the next field, and a '.' right after that move is swallowed, since it belongs to the
// field just left; a '.' (or a blank) in a field holding digits moves on. Backspace at
// the start of a field takes the last digit of the field before; the arrow keys cross
// field borders; a digit typed after a lone 0 replaces it. A dotted address pasted into
// any field fills all four. The control is one Tab stop, entered at the field that last
// had the focus.
//
// An IPv6 address, set or pasted, shows in one field in place of the four, until it is
// cleared or emptied.
class IpAddressWidget : public QFrame {
    Q_OBJECT
public:
    explicit IpAddressWidget(QWidget* parent = nullptr);

    QString text() const;
    // Accepts a dotted or an IPv6 address; anything else clears the control.
    void setAddress(const QString& address);
    void clear();
    bool isBlank() const;
    QLineEdit* field(int i) const { return fields_[i]; }

signals:
    // A field's value changed (by typing or by setAddress); the field's index 0..3.
    void fieldChanged(int field);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int indexOf(const QObject* o) const;
    bool fieldKey(int i, QKeyEvent* key);
    void moveTo(int i, bool selectAll, bool atEnd = false);
    void paste(int i, const QString& text);
    void showFieldMenu(int i, const QPoint& globalPos);

    void showIPv6(bool shown);

    QLineEdit* fields_[4];
    QWidget* dots_[3];
    QLineEdit* v6_;
    bool v6Shown_ = false;
    bool autoMoved_ = false;  // the last keystroke filled a field and moved on
};
