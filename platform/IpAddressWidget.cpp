#include "platform/IpAddressWidget.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QStringList>

#include "platform/TextUtil.h"

IpAddressWidget::IpAddressWidget(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 0, 2, 0);
    layout->setSpacing(0);
    const QRegularExpression octet(QStringLiteral("^(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])?$"));
    for (int i = 0; i < 4; ++i) {
        auto* f = new QLineEdit(this);
        f->setFrame(false);
        f->setAlignment(Qt::AlignCenter);
        f->setMaxLength(3);
        f->setValidator(new QRegularExpressionValidator(octet, f));
        f->setObjectName(QStringLiteral("field%1").arg(i));
        f->installEventFilter(this);
        fields_[i] = f;
        layout->addWidget(f, 1);
        if (i < 3) layout->addWidget(new QLabel(QStringLiteral("."), this));
        connect(f, &QLineEdit::textEdited, this, [this, i](const QString& t) {
            emit fieldChanged(i);
            // Typing the third digit moves on, as the Windows control does.
            if (t.size() == 3 && i < 3) {
                fields_[i + 1]->setFocus();
                fields_[i + 1]->selectAll();
            }
        });
    }
    setFocusProxy(fields_[0]);
}

QString IpAddressWidget::text() const {
    QStringList parts;
    for (QLineEdit* f : fields_) parts << QString::number(f->text().isEmpty() ? 0 : f->text().toInt());
    return parts.join('.');
}

bool IpAddressWidget::isBlank() const {
    for (QLineEdit* f : fields_)
        if (!f->text().isEmpty()) return false;
    return true;
}

void IpAddressWidget::clear() {
    for (int i = 0; i < 4; ++i) {
        if (fields_[i]->text().isEmpty()) continue;
        fields_[i]->clear();
        emit fieldChanged(i);
    }
}

void IpAddressWidget::setAddress(const QString& dotted) {
    uint32_t address;
    if (!ParseDottedIPv4(dotted.trimmed().toStdString(), address)) {
        clear();
        return;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(&address);
    for (int i = 0; i < 4; ++i) {
        const QString v = QString::number(bytes[i]);
        if (fields_[i]->text() == v) continue;
        fields_[i]->setText(v);
        emit fieldChanged(i);
    }
}

bool IpAddressWidget::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        for (int i = 0; i < 4; ++i) {
            if (watched != fields_[i]) continue;
            if ((key->key() == Qt::Key_Period || key->key() == Qt::Key_Space) && i < 3) {
                fields_[i + 1]->setFocus();
                fields_[i + 1]->selectAll();
                return true;
            }
            if (key->key() == Qt::Key_Backspace && fields_[i]->text().isEmpty() && i > 0) {
                fields_[i - 1]->setFocus();
                fields_[i - 1]->end(false);
                return true;
            }
        }
    }
    return QFrame::eventFilter(watched, event);
}
