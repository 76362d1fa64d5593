#pragma once
#include <QFrame>
#include <QString>

class QLineEdit;

// The text of a control whose fields are blank: no address.
inline constexpr const char* NO_ADDRESS = "0.0.0.0";

// Four-field IPv4 address entry. Blank fields read as 0, so an empty control's text is
// "0.0.0.0", which every dialog takes to mean "no address".
class IpAddressWidget : public QFrame {
    Q_OBJECT
public:
    explicit IpAddressWidget(QWidget* parent = nullptr);

    QString text() const;
    // Accepts a dotted address; anything else clears the control.
    void setAddress(const QString& dotted);
    void clear();
    bool isBlank() const;
    QLineEdit* field(int i) const { return fields_[i]; }

signals:
    // A field's value changed (by typing or by setAddress); the field's index 0..3.
    void fieldChanged(int field);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* fields_[4];
};
