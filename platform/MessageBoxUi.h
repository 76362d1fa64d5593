#pragma once
#include <QString>
#include <functional>

class QWidget;

// Message-box styles the program uses.
inline constexpr unsigned MB_OK = 0x0;
inline constexpr unsigned MB_ICONEXCLAMATION = 0x30;
inline constexpr unsigned MB_TOPMOST = 0x40000;

struct MessageBoxRequest {
    QWidget* owner;  // null for a plain application box
    QString text;
    QString caption;
    unsigned style;  // MB_* bits
};

// Shows a modal box and returns the button pressed (IDOK). The box's nested event loop
// keeps timers and posted events served. Tests install a hook that sees every box and
// answers it instead of a real one.
int ShowMessageBox(QWidget* owner, const QString& text, const QString& caption, unsigned style);
// The plain box with the application's name as its title.
int AfxMessageBox(const QString& text, unsigned style = 0);

using MessageBoxHook = std::function<int(const MessageBoxRequest&)>;
void SetMessageBoxHook(MessageBoxHook hook);  // an empty hook restores real boxes

inline constexpr const char* APPLICATION_TITLE = "Tolvara";
