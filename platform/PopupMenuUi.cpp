#include "platform/PopupMenuUi.h"

#include <QAction>
#include <QMenu>
#include <algorithm>

#include "res/Templates.h"

namespace {
PopupMenuHook& Hook() {
    static PopupMenuHook hook;
    return hook;
}
std::vector<int>& Disabled() {
    static std::vector<int> disabled;
    return disabled;
}
int AskHook(int menuId, QPoint screenPos, const std::vector<int>& disabled) {
    Disabled() = disabled;
    const int chosen = Hook()(menuId, screenPos);
    Disabled().clear();
    // Like a real menu, a disabled item chooses nothing.
    return std::find(disabled.begin(), disabled.end(), chosen) == disabled.end() ? chosen : 0;
}
}  // namespace

void SetPopupMenuHook(PopupMenuHook hook) { Hook() = std::move(hook); }

const std::vector<int>& PopupMenuDisabledCommands() { return Disabled(); }

int TrackPopupMenu(int menuId, QPoint screenPos, QWidget* owner, const std::vector<int>& disabled) {
    if (Hook()) return AskHook(menuId, screenPos, disabled);
    const MenuTemplate* t = FindMenuTemplate(menuId);
    return t ? TrackPopupMenu(*t, screenPos, owner, disabled) : 0;
}

int TrackPopupMenu(const MenuTemplate& t, QPoint screenPos, QWidget* owner, const std::vector<int>& disabled) {
    if (Hook()) return AskHook(t.id, screenPos, disabled);
    QMenu menu(owner);
    menu.setObjectName(QStringLiteral("menu_%1").arg(t.id));
    for (const MenuItemTemplate& item : t.items) {
        if (item.command == 0) {
            menu.addSeparator();
            continue;
        }
        QAction* a = menu.addAction(QString::fromUtf8(item.caption));
        a->setData(item.command);
        a->setEnabled(std::find(disabled.begin(), disabled.end(), item.command) == disabled.end());
    }
    QAction* chosen = menu.exec(screenPos);
    return chosen ? chosen->data().toInt() : 0;
}
