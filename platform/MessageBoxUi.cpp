#include "platform/MessageBoxUi.h"

#include <QMessageBox>

#include "platform/DialogUi.h"
#include "res/Resource.h"

namespace {
MessageBoxHook& Hook() {
    static MessageBoxHook hook;
    return hook;
}
}  // namespace

void SetMessageBoxHook(MessageBoxHook hook) { Hook() = std::move(hook); }

int ShowMessageBox(QWidget* owner, const QString& text, const QString& caption, unsigned style) {
    if (Hook()) return Hook()(MessageBoxRequest{owner, text, caption, style});
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner);
    box.setObjectName(QStringLiteral("tolvaraMessageBox"));
    BelongToMainWindow(&box);
    if ((style & 0xF0) == MB_ICONEXCLAMATION) box.setIcon(QMessageBox::Warning);
    if (style & MB_TOPMOST) box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    box.exec();
    return IDOK;
}

int AfxMessageBox(const QString& text, unsigned style) {
    return ShowMessageBox(nullptr, text, QString::fromLatin1(APPLICATION_TITLE), style);
}
