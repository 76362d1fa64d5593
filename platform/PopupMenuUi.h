#pragma once
#include <QPoint>
#include <functional>
#include <vector>

class QWidget;
struct MenuTemplate;

// Shows the first submenu of a menu template at a screen position and returns the
// chosen command, or 0 when the menu was dismissed. Tests install a hook that answers
// instead of a real menu.
// Commands in disabled are shown greyed out and cannot be chosen.
int TrackPopupMenu(int menuId, QPoint screenPos, QWidget* owner, const std::vector<int>& disabled = {});
// The same for a template built at run time (the window's system menu).
int TrackPopupMenu(const MenuTemplate& menu, QPoint screenPos, QWidget* owner, const std::vector<int>& disabled = {});

using PopupMenuHook = std::function<int(int menuId, QPoint screenPos)>;
void SetPopupMenuHook(PopupMenuHook hook);
// While a hook answers: the commands of the menu being shown that are disabled.
const std::vector<int>& PopupMenuDisabledCommands();
