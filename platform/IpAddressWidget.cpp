#include "platform/IpAddressWidget.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QRegularExpressionValidator>
#include <QStringList>
#include <utility>

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
        f->setFocusPolicy(i == 0 ? Qt::StrongFocus : Qt::ClickFocus);
        f->installEventFilter(this);
        fields_[i] = f;
        layout->addWidget(f, 1);
        if (i < 3) {
            dots_[i] = new QLabel(QStringLiteral("."), this);
            layout->addWidget(dots_[i]);
        }
        connect(f, &QLineEdit::textEdited, this, [this, i](const QString& t) {
            emit fieldChanged(i);
            if (t.size() == 3 && i < 3 && fields_[i]->cursorPosition() == 3) {
                moveTo(i + 1, true);
                autoMoved_ = true;
            }
        });
    }
    v6_ = new QLineEdit(this);
    v6_->setFrame(false);
    v6_->setObjectName(QStringLiteral("ipv6Field"));
    v6_->setMaxLength(63);
    v6_->hide();
    layout->addWidget(v6_, 4);
    connect(v6_, &QLineEdit::textEdited, this, [this](const QString& t) {
        if (t.isEmpty()) {
            showIPv6(false);
            fields_[0]->setFocus(Qt::OtherFocusReason);
        }
        emit fieldChanged(0);
    });
    setFocusProxy(fields_[0]);
}

void IpAddressWidget::showIPv6(bool shown) {
    if (shown == v6Shown_) return;
    v6Shown_ = shown;
    for (QLineEdit* f : fields_) f->setVisible(!shown);
    for (QWidget* d : dots_) d->setVisible(!shown);
    v6_->setVisible(shown);
    if (!shown) v6_->clear();
    setFocusProxy(shown ? v6_ : fields_[0]);
}

int IpAddressWidget::indexOf(const QObject* o) const {
    for (int i = 0; i < 4; ++i)
        if (fields_[i] == o) return i;
    return -1;
}

void IpAddressWidget::moveTo(int i, bool selectAll, bool atEnd) {
    QLineEdit* f = fields_[i];
    f->setFocus(Qt::OtherFocusReason);
    if (selectAll) f->selectAll();
    else f->setCursorPosition(atEnd ? static_cast<int>(f->text().size()) : 0);
}

void IpAddressWidget::paste(int i, const QString& text) {
    const QString trimmed = text.trimmed();
    if (IsIPv6Text(trimmed.toStdString())) {
        setAddress(trimmed);
        return;
    }
    if (IsDottedIPv4(trimmed.toStdString())) {
        setAddress(trimmed);
        moveTo(3, false, true);
        return;
    }
    // Anything else goes in as typing would, for the field's validator to take or refuse.
    fields_[i]->insert(trimmed);
}

void IpAddressWidget::showFieldMenu(int i, const QPoint& globalPos) {
    // The field's own menu, with a Paste that takes a dotted address whole.
    QMenu* menu = fields_[i]->createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    for (QAction* action : menu->actions()) {
        if (!action->text().startsWith(QLineEdit::tr("&Paste"))) continue;
        disconnect(action, &QAction::triggered, nullptr, nullptr);
        connect(action, &QAction::triggered, this, [this, i] { paste(i, QGuiApplication::clipboard()->text()); });
    }
    menu->popup(globalPos);
}

bool IpAddressWidget::fieldKey(int i, QKeyEvent* key) {
    QLineEdit* f = fields_[i];
    const bool afterMove = std::exchange(autoMoved_, false);
    if (key->matches(QKeySequence::Paste)) {
        paste(i, QGuiApplication::clipboard()->text());
        return true;
    }
    const bool caretOnly = !f->hasSelectedText() && !(key->modifiers() & Qt::ShiftModifier);
    const int caret = f->cursorPosition();
    switch (key->key()) {
    case Qt::Key_Period:
    case Qt::Key_Space:
        if (!afterMove && i < 3 && !f->text().isEmpty()) moveTo(i + 1, true);
        return true;
    case Qt::Key_Backspace:
        if (i == 0 || !caretOnly || caret > 0) return false;
        // As if the fields were one line: the digit before the caret goes, wherever it is.
        moveTo(i - 1, false, true);
        {
            QKeyEvent again(key->type(), key->key(), key->modifiers(), key->text());
            QCoreApplication::sendEvent(fields_[i - 1], &again);
        }
        return true;
    case Qt::Key_Left:
        if (i == 0 || !caretOnly || caret > 0) return false;
        moveTo(i - 1, false, true);
        return true;
    case Qt::Key_Right:
        if (i == 3 || !caretOnly || caret < f->text().size()) return false;
        moveTo(i + 1, false, false);
        return true;
    default:
        break;
    }
    // A digit after a lone 0 takes its place: no field shows 05.
    const QString typed = key->text();
    if (typed.size() == 1 && typed[0] >= u'0' && typed[0] <= u'9' && f->text() == QLatin1String("0") && caretOnly &&
        caret == 1)
        f->selectAll();
    return false;
}

QString IpAddressWidget::text() const {
    if (v6Shown_) return v6_->text();
    QStringList parts;
    for (QLineEdit* f : fields_) parts << QString::number(f->text().isEmpty() ? 0 : f->text().toInt());
    return parts.join('.');
}

bool IpAddressWidget::isBlank() const {
    if (v6Shown_) return false;
    for (QLineEdit* f : fields_)
        if (!f->text().isEmpty()) return false;
    return true;
}

void IpAddressWidget::clear() {
    if (v6Shown_) {
        showIPv6(false);
        emit fieldChanged(0);
    }
    for (int i = 0; i < 4; ++i) {
        if (fields_[i]->text().isEmpty()) continue;
        fields_[i]->clear();
        emit fieldChanged(i);
    }
}

void IpAddressWidget::setAddress(const QString& text) {
    const std::string trimmed = text.trimmed().toStdString();
    if (IsIPv6Text(trimmed)) {
        for (QLineEdit* f : fields_) f->clear();
        showIPv6(true);
        v6_->setText(QString::fromStdString(trimmed));
        emit fieldChanged(0);
        return;
    }
    uint32_t address;
    if (!ParseDottedIPv4(trimmed, address)) {
        clear();
        return;
    }
    if (v6Shown_) {
        showIPv6(false);
        emit fieldChanged(0);
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
    const int i = indexOf(watched);
    if (i < 0) return QFrame::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::KeyPress:
        if (fieldKey(i, static_cast<QKeyEvent*>(event))) return true;
        break;
    case QEvent::FocusIn:
        // Only the field that has the focus takes it from the keyboard, so Tab and
        // Shift+Tab leave the control, and come back to that field.
        for (int j = 0; j < 4; ++j) fields_[j]->setFocusPolicy(j == i ? Qt::StrongFocus : Qt::ClickFocus);
        autoMoved_ = false;
        break;
    case QEvent::ContextMenu:
        showFieldMenu(i, static_cast<QContextMenuEvent*>(event)->globalPos());
        return true;
    case QEvent::MouseButtonRelease:
        // The X selection that a middle click pastes.
        if (static_cast<QMouseEvent*>(event)->button() == Qt::MiddleButton &&
            QGuiApplication::clipboard()->supportsSelection()) {
            paste(i, QGuiApplication::clipboard()->text(QClipboard::Selection));
            return true;
        }
        break;
    default:
        break;
    }
    return QFrame::eventFilter(watched, event);
}
