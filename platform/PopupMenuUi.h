#pragma once
#include <QPoint>
#include <functional>

class QWidget;
struct MenuTemplate;

// Shows the first submenu of a menu template at a screen position and returns the
// chosen command, or 0 when the menu was dismissed. Tests install a hook that answers
// instead of a real menu.
int TrackPopupMenu(int menuId, QPoint screenPos, QWidget* owner);
// The same for a template built at run time (the window's system menu).
int TrackPopupMenu(const MenuTemplate& menu, QPoint screenPos, QWidget* owner);

using PopupMenuHook = std::function<int(int menuId, QPoint screenPos)>;
void SetPopupMenuHook(PopupMenuHook hook);
