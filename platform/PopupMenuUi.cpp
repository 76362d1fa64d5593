#include "platform/PopupMenuUi.h"

#include <QAction>
#include <QMenu>

#include "res/Templates.h"

namespace {
PopupMenuHook& Hook() {
    static PopupMenuHook hook;
    return hook;
}
}  // namespace

void SetPopupMenuHook(PopupMenuHook hook) { Hook() = std::move(hook); }

int TrackPopupMenu(int menuId, QPoint screenPos, QWidget* owner) {
    if (Hook()) return Hook()(menuId, screenPos);
    const MenuTemplate* t = FindMenuTemplate(menuId);
    return t ? TrackPopupMenu(*t, screenPos, owner) : 0;
}

int TrackPopupMenu(const MenuTemplate& t, QPoint screenPos, QWidget* owner) {
    if (Hook()) return Hook()(t.id, screenPos);
    QMenu menu(owner);
    menu.setObjectName(QStringLiteral("menu_%1").arg(t.id));
    for (const MenuItemTemplate& item : t.items) {
        if (item.command == 0) {
            menu.addSeparator();
            continue;
        }
        QAction* a = menu.addAction(QString::fromUtf8(item.caption));
        a->setData(item.command);
    }
    QAction* chosen = menu.exec(screenPos);
    return chosen ? chosen->data().toInt() : 0;
}
