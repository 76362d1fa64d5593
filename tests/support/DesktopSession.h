#pragma once
// The real program on a virtual X display with a window manager (openbox) and a
// notification-area host (trayer), and the X tools the desktop tests look at windows
// and click with.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/MonitorSettings.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace desktop {

using namespace std::chrono_literals;

bool OnPath(const std::string& program);
// Output of a shell command, never waiting more than a few seconds for it.
std::string Shell(const std::string& command);
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 8000ms);

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
};

struct WindowInfo {
    bool viewable = false;
    bool overrideRedirect = false;
    Rect rect;
};

WindowInfo Info(const std::string& id);
// The window ids that start the lines of a tool's output.
std::vector<std::string> Ids(const std::string& text);
// Mapped pop-up windows (menus) on the screen, tooltips left out.
std::set<std::string> Popups();
std::string FindWindow(const std::string& exactTitle);
// The icon's window, embedded somewhere below trayer's panel.
std::string FindTrayIcon();
bool Viewable(const std::string& id);
// Starts a program that writes a line (a display number, an address) to the descriptor
// argv is given; that line, or empty when none comes within 10 s.
std::string StartAndReadLine(std::optional<ChildProcess>& child,
                             const std::function<std::vector<std::string>(int fd)>& argv, const std::string& output);

void Key(const std::string& keys);
void Focus(const std::string& window);
void ClickOn(const std::string& window, int button);
void MouseAway();

}  // namespace desktop

// Starts the desktop, then the program in work/ with `settings` written there first.
class DesktopTest : public ::testing::Test {
protected:
    // Xvfb, openbox and trayer; skips when one of the tools is missing.
    void StartDesktop();
    // env entries go on top of the test's environment; waits for the window and the icon.
    void StartProgram(const std::vector<std::string>& env = {});

    // Right click on the icon; the new menu window, or empty. A box that opens at that
    // moment (the next alarm) may take the click, so a user would click again.
    std::string OpenTrayMenu();
    bool Screenshot(const std::string& window, const std::string& name);
    // Opens the tray menu and closes it again: true when it opened.
    bool TrayMenuOpensAndCloses();
    // Chooses the tray menu's exit item and waits for a clean end.
    void ExitFromTrayMenu();

    TempDir dir;
    std::filesystem::path artifacts;
    std::optional<MonitorSettings> settings;  // written before the program starts
    std::optional<ChildProcess> xvfb, wm, tray, program;
    std::string main, icon;
};
