#pragma once
#include <functional>
#include <string>

class QObject;

// Where the desktop entry that xdg-mime names ("org.example.Editor.desktop") lies: the
// first applications/ folder of $XDG_DATA_HOME and $XDG_DATA_DIRS that holds it; empty
// if none does.
std::string FindDesktopEntry(const std::string& id);
// Whether the entry runs its program in a terminal (Terminal=true): the program has
// none to give it.
bool DesktopEntryNeedsTerminal(const std::string& path);

// Time limits of the two steps: xdg-mime's answer, and xdg-open's exit status. An opener
// still busy at its limit is taken to be showing the file (some wait for the program).
struct DesktopOpenLimits {
    int queryMs = 5000;
    int openMs = 10000;
};

// Opens a file with the desktop's program for text files without waiting on the calling
// thread: xdg-mime names the program, a terminal program is refused, and xdg-open's exit
// status tells whether it worked. `done` runs once on the thread of `context` (unless that
// goes first): false when nothing will show the file, and the caller shows it itself.
void OpenWithDesktopTextProgram(const std::string& path, QObject* context, std::function<void(bool shown)> done,
                                DesktopOpenLimits limits = {});
