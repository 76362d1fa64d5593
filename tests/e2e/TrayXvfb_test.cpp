// The real program on a virtual X display with a window manager (openbox) and a
// notification-area host (trayer): the tray icon is embedded, its right click opens the
// tray menu, also while a modal window is open, its left click brings a hidden or
// minimised window back, the exit item ends the process, and F1 or a click on the
// picture opens the About box. Screenshots of the main window, the settings dialog,
// the About box, an alarm box and the tray menu are kept in the build folder's
// artifacts/ for people to look at.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <poll.h>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/MonitorSettings.h"
#include "support/ChildProcess.h"
#include "support/LoopbackSockets.h"
#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool OnPath(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// Output of a shell command, never waiting more than a few seconds for it.
std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(("timeout 5 " + command + " 2>/dev/null").c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 8000ms) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(100ms);
    }
    return done();
}

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
};

struct WindowInfo {
    bool viewable = false;
    bool overrideRedirect = false;
    Rect rect;
};

WindowInfo Info(const std::string& id) {
    const std::string text = Shell("xwininfo -id " + id);
    WindowInfo info;
    info.viewable = text.find("Map State: IsViewable") != std::string::npos;
    info.overrideRedirect = text.find("Override Redirect State: yes") != std::string::npos;
    std::smatch m;
    auto field = [&](const char* name) {
        return std::regex_search(text, m, std::regex(std::string(name) + ":\\s+(-?\\d+)")) ? std::stoi(m[1]) : 0;
    };
    info.rect = {field("Absolute upper-left X"), field("Absolute upper-left Y"), field("Width"), field("Height")};
    return info;
}

std::vector<std::string> Ids(const std::string& text) {
    std::vector<std::string> ids;
    std::istringstream in(text);
    std::string line;
    const std::regex id(R"(^\s*(0x[0-9a-fA-F]+|\d+)\b)");
    std::smatch m;
    while (std::getline(in, line))
        if (std::regex_search(line, m, id)) ids.push_back(m[1]);
    return ids;
}

// Mapped pop-up windows (menus) on the screen, tooltips left out.
std::set<std::string> Popups() {
    std::set<std::string> popups;
    for (const std::string& id : Ids(Shell("xwininfo -root -children | grep '^ *0x'"))) {
        const WindowInfo info = Info(id);
        if (!info.viewable || !info.overrideRedirect) continue;
        if (info.rect.w < 4 || info.rect.h < 4) continue;  // the window manager's own 1x1 window
        if (Shell("xprop -id " + id + " _NET_WM_WINDOW_TYPE").find("TOOLTIP") != std::string::npos) continue;
        popups.insert(id);
    }
    return popups;
}

std::string FindWindow(const std::string& exactTitle) {
    const std::vector<std::string> ids = Ids(Shell("xdotool search --name '^" + exactTitle + "$'"));
    return ids.empty() ? std::string() : ids.front();
}

// The icon's window, embedded somewhere below trayer's panel.
std::string FindTrayIcon() {
    const std::string panel = FindWindow("panel");
    if (panel.empty()) return {};
    std::istringstream in(Shell("xwininfo -tree -id " + panel));
    std::string line;
    std::smatch m;
    while (std::getline(in, line))
        if (std::regex_search(line, m, std::regex(R"(^\s+(0x[0-9a-fA-F]+) "Tolvara")"))) return m[1];
    return {};
}

bool Viewable(const std::string& id) { return !id.empty() && Info(id).viewable; }

void Key(const std::string& keys) { Shell("xdotool key --delay 60 " + keys); }
void Focus(const std::string& window) { Shell("xdotool windowfocus --sync " + window); }
void ClickOn(const std::string& window, int button) {
    Shell("xdotool mousemove --sync --window " + window + " 8 8 click " + std::to_string(button));
}
void MouseAway() { Shell("xdotool mousemove --sync 5 5"); }

class TrayXvfb : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"Xvfb", "openbox", "trayer", "xdotool", "xwininfo", "xprop", "import"})
            if (!OnPath(tool)) GTEST_SKIP() << tool << " is not installed";
        artifacts = std::filesystem::path(TOLVARA_BIN_DIR).parent_path() / "artifacts";
        std::filesystem::create_directories(artifacts);

        // Xvfb picks a free display and tells us its number on a pipe.
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        xvfb.emplace(std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                                              "1024x768x24", "-nolisten", "tcp", "-noreset"},
                     "", dir.file("xvfb.log"), std::vector<std::string>{}, fds[1]);
        ::close(fds[1]);
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        while (::poll(&p, 1, 10000) > 0) {
            char c;
            if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
            number += c;
        }
        ::close(fds[0]);
        ASSERT_FALSE(number.empty()) << ReadWholeFile(dir.file("xvfb.log"));
        ::setenv("DISPLAY", (":" + number).c_str(), 1);
        // The program must find the XEmbed tray, not a desktop bus of the session.
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        ::unsetenv("QT_QPA_PLATFORMTHEME");
        // A sanitizer build reports the font library's leaks at exit, which would turn the
        // clean exit into a failure; the project's suppressions apply unless set already.
        ::setenv("LSAN_OPTIONS", "suppressions=" TOLVARA_SOURCE_DIR "/scripts/lsan.supp:print_suppressions=0", 0);

        wm.emplace(std::vector<std::string>{"openbox", "--sm-disable"}, "", dir.file("openbox.log"));
        ASSERT_TRUE(WaitFor([] {
            return Shell("xprop -root _NET_SUPPORTING_WM_CHECK").find("window id") != std::string::npos;
        })) << ReadWholeFile(dir.file("openbox.log"));

        tray.emplace(std::vector<std::string>{"trayer", "--edge", "bottom", "--align", "right", "--widthtype",
                                              "pixel", "--width", "120", "--heighttype", "pixel", "--height",
                                              "32", "--transparent", "false"},
                     "", dir.file("trayer.log"));
        ASSERT_TRUE(WaitFor([] { return Viewable(FindWindow("panel")); })) << ReadWholeFile(dir.file("trayer.log"));

        std::filesystem::create_directories(dir.file("work"));
        if (settings) {
            const auto bytes = EncodeSettings(*settings);
            WriteWholeFile(dir.file("work/" + std::string(SETTINGS_FILE_NAME)), std::string(bytes.begin(), bytes.end()));
        }
        program.emplace(std::vector<std::string>{std::string(TOLVARA_BIN_DIR) + "/tolvara"}, dir.file("work"),
                        dir.file("tolvara.log"));
        ASSERT_TRUE(WaitFor([&] { return Viewable(main = FindWindow("Tolvara v1.0 Beta")); }, 15000ms))
            << ReadWholeFile(dir.file("tolvara.log"));
        ASSERT_TRUE(WaitFor([&] { return !(icon = FindTrayIcon()).empty(); })) << Shell("xwininfo -root -tree");
        ASSERT_TRUE(Popups().empty());
    }

    // Right click on the icon; the new menu window, or empty. A box that opens at that
    // moment (the next alarm) may take the click, so a user would click again.
    std::string OpenTrayMenu() {
        std::string menu;
        for (int attempt = 0; attempt < 3 && menu.empty(); ++attempt) {
            ClickOn(icon, 3);
            WaitFor(
                [&] {
                    const auto popups = Popups();
                    if (popups.size() == 1) menu = *popups.begin();
                    return !menu.empty();
                },
                3000ms);
        }
        return menu;
    }

    bool Screenshot(const std::string& window, const std::string& name) {
        const std::string file = (artifacts / name).string();
        std::filesystem::remove(file);
        Shell("import -window " + window + " " + file);
        return std::filesystem::exists(file) && std::filesystem::file_size(file) > 1000;
    }

    // Opens the tray menu and closes it again: true when it opened.
    bool TrayMenuOpensAndCloses() {
        const bool opened = !OpenTrayMenu().empty();
        Key("Escape");
        WaitFor([] { return Popups().empty(); });
        MouseAway();
        return opened;
    }

    // Chooses the tray menu's exit item and waits for a clean end.
    void ExitFromTrayMenu() {
        ASSERT_FALSE(OpenTrayMenu().empty()) << "no tray menu";
        Key("Down Down Down Down Down Down Down Down Return");
        const std::optional<int> status = program->WaitExit(10000ms);
        ASSERT_TRUE(status.has_value()) << "still running after the exit item";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
        EXPECT_TRUE(FindTrayIcon().empty());
    }

    TempDir dir;
    std::filesystem::path artifacts;
    std::optional<MonitorSettings> settings;  // written before the program starts
    std::optional<ChildProcess> xvfb, wm, tray, program;
    std::string main, icon;
};

// Alarms on, a one-second refresh.
class AlarmXvfb : public TrayXvfb {
protected:
    void SetUp() override {
        MonitorSettings s = DefaultSettings();
        s.refreshInterval = 1;
        s.externalAlarm = 1;
        settings = s;
        TrayXvfb::SetUp();
    }
};

TEST_F(TrayXvfb, IconMenuHideAndShowAndExit) {
    // The icon lives in the host's panel, at the panel's size.
    const Rect panel = Info(FindWindow("panel")).rect;
    const Rect at = Info(icon).rect;
    EXPECT_GE(at.x, panel.x);
    EXPECT_LE(at.x + at.w, panel.x + panel.w);
    EXPECT_TRUE(Viewable(icon));

    // Right click: the tray menu at the cursor, Esc closes it and nothing else happens.
    const std::string menu = OpenTrayMenu();
    ASSERT_FALSE(menu.empty()) << Shell("xwininfo -root -tree");
    const Rect m = Info(menu).rect;
    const int cx = at.x + 8, cy = at.y + 8;
    EXPECT_TRUE(cx >= m.x - 4 && cx <= m.x + m.w + 4 && cy >= m.y - 4 && cy <= m.y + m.h + 4)
        << "menu " << m.x << "," << m.y << " " << m.w << "x" << m.h << ", cursor " << cx << "," << cy;
    EXPECT_GT(m.h, 100);  // eight items and three separators
    EXPECT_TRUE(Screenshot(menu, "tray-menu.png"));
    Key("Escape");
    EXPECT_TRUE(WaitFor([] { return Popups().empty(); }));
    MouseAway();

    // With a tray, Esc hides the window; a left click on the icon shows it again.
    Focus(main);
    Key("Escape");
    ASSERT_TRUE(WaitFor([&] { return !Viewable(main); }));
    ClickOn(icon, 1);
    EXPECT_TRUE(WaitFor([&] { return Viewable(main); }));
    MouseAway();

    // A window manager may minimise the window although it has no minimise box; a left
    // click on the icon brings it back.
    Shell("xdotool windowminimize --sync " + main);
    ASSERT_TRUE(WaitFor([&] { return !Viewable(main); }));
    std::this_thread::sleep_for(500ms);  // a user's click comes after the program has seen it
    ClickOn(icon, 1);
    EXPECT_TRUE(WaitFor([&] { return Viewable(main); }));
    MouseAway();

    // The menu's last item ends the program cleanly.
    ExitFromTrayMenu();
}

// The tray menu answers while the settings dialog and the About box are open, and
// both reach the About box without the system menu (a window manager's Alt+Space).
TEST_F(TrayXvfb, TrayMenuWorksWhileADialogIsOpenAndTheAboutBoxHasRoutesOfItsOwn) {
    ASSERT_FALSE(OpenTrayMenu().empty());
    Key("Down Down Down Down Down Return");
    std::string settingsDlg;
    ASSERT_TRUE(WaitFor([&] { return Viewable(settingsDlg = FindWindow("환경 설정")); }));
    MouseAway();
    EXPECT_TRUE(TrayMenuOpensAndCloses()) << "tray menu blocked by the settings dialog";
    Focus(settingsDlg);
    Key("Escape");
    ASSERT_TRUE(WaitFor([&] { return !Viewable(settingsDlg); }));

    Focus(main);
    Key("F1");
    std::string about;
    ASSERT_TRUE(WaitFor([&] { return Viewable(about = FindWindow("Tolvara 정보")); }));
    EXPECT_TRUE(TrayMenuOpensAndCloses()) << "tray menu blocked by the About box";
    Focus(about);
    Key("Return");
    ASSERT_TRUE(WaitFor([&] { return !Viewable(about); }));

    // The picture under the advertising area, near the window's bottom right corner.
    const Rect w = Info(main).rect;
    Shell("xdotool mousemove --sync --window " + main + " " + std::to_string(w.w * 83 / 100) + " " +
          std::to_string(w.h * 94 / 100) + " click 1");
    ASSERT_TRUE(WaitFor([&] { return Viewable(about = FindWindow("Tolvara 정보")); }));
    MouseAway();
    // The exit item ends the program with the About box open.
    ExitFromTrayMenu();
}

// A connection the test makes raises the alarm box; the tray menu answers while it is
// open, only one box is open at a time, and the exit item ends the program.
TEST_F(AlarmXvfb, TrayMenuWorksWhileAnAlarmBoxIsOpenAndExitEndsTheProgram) {
    Fd listener = TcpListener();
    Fd client = TcpConnect(LocalPort(listener.get()));
    Fd server = Accept(listener.get());
    std::string alarm;
    ASSERT_TRUE(WaitFor([&] { return Viewable(alarm = FindWindow("외부 접속 경보")); }, 10000ms))
        << ReadWholeFile(dir.file("tolvara.log"));
    EXPECT_TRUE(Screenshot(alarm, "alarm-box.png"));
    // Both ends of the connection are connects; their boxes come one after another.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(Ids(Shell("xdotool search --onlyvisible --name '^외부 접속 경보$'")).size(), 1u);
    // The tray menu opens over the box, and its exit item ends the program.
    ExitFromTrayMenu();
}

TEST_F(TrayXvfb, ScreenshotsOfTheWindowsWithKoreanCaptions) {
    EXPECT_TRUE(Screenshot(main, "main-window.png"));

    // The settings dialog from the tray menu: its sixth entry, "환경 설정".
    ASSERT_FALSE(OpenTrayMenu().empty());
    Key("Down Down Down Down Down Return");
    std::string settings;
    ASSERT_TRUE(WaitFor([&] { return Viewable(settings = FindWindow("환경 설정")); }));
    MouseAway();
    EXPECT_TRUE(Screenshot(settings, "settings-dialog.png"));
    Key("Escape");
    EXPECT_TRUE(WaitFor([&] { return !Viewable(settings); }));

    // The About box, by F1 (the window manager keeps Alt+Space).
    Focus(main);
    Key("F1");
    std::string about;
    ASSERT_TRUE(WaitFor([&] { return Viewable(about = FindWindow("Tolvara 정보")); }));
    EXPECT_TRUE(Screenshot(about, "about-box.png"));
    Key("Return");
    EXPECT_TRUE(WaitFor([&] { return !Viewable(about); }));
    EXPECT_TRUE(Viewable(main));
}

}  // namespace
