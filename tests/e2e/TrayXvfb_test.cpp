// The real program on a virtual X display with a window manager (openbox) and a
// notification-area host (trayer): the tray icon is embedded, its right click opens the
// tray menu, also while a modal window is open, its left click brings a hidden or
// minimised window back and one the desktop was shown over, the exit item ends the
// process, and F1 or a click on the picture opens the About box. A second start from
// the menu and a second opening of a dialog bring the first forward. Screenshots of the
// main window, the settings dialog, the About box, an alarm box, the tray menu and the
// screen after "show desktop" are kept in the build folder's artifacts/ for people to
// look at.
#include <cstdlib>
#include <regex>
#include <thread>

#include "support/DesktopSession.h"
#include "support/LoopbackSockets.h"

namespace {

using namespace desktop;

class TrayXvfb : public DesktopTest {
protected:
    void SetUp() override {
        StartDesktop();
        if (!HasFatalFailure() && !IsSkipped()) StartProgram();
    }
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

    // "Show desktop" (openbox's Super+D) takes the window off the screen without
    // minimising it; a left click brings it back as well.
    Focus(main);
    Key("super+d");
    ASSERT_TRUE(WaitFor([&] { return !Viewable(main); }));
    std::this_thread::sleep_for(500ms);
    ClickOn(icon, 1);
    EXPECT_TRUE(WaitFor([&] { return Viewable(main); }));
    EXPECT_TRUE(Screenshot("root", "after-show-desktop.png"));
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

// Started again as the menu starts it, the installed launcher brings the running copy's
// window forward, from hidden or minimised, and ends; "친구 목록" chosen again from the
// tray raises the one open, which opened centred on the window.
TEST_F(TrayXvfb, ASecondStartAndASecondDialogBringTheFirstForward) {
    const std::string prefix = dir.file("prefix");
    ASSERT_EQ(std::system((std::string(TOLVARA_CMAKE_COMMAND) + " --install " +
                           std::filesystem::path(TOLVARA_BIN_DIR).parent_path().string() + " --prefix " + prefix +
                           " >" + dir.file("install.log") + " 2>&1")
                              .c_str()),
              0)
        << ReadWholeFile(dir.file("install.log"));
    // The menu entry names the class the window really has.
    std::smatch entryClass;
    const std::string entry = ReadWholeFile(prefix + "/share/applications/io.github.tolvara.Tolvara.desktop");
    ASSERT_TRUE(std::regex_search(entry, entryClass, std::regex("\nStartupWMClass=([^\n]*)\n")));
    EXPECT_NE(Shell("xprop -id " + main + " WM_CLASS").find(", \"" + entryClass[1].str() + "\"\n"), std::string::npos)
        << Shell("xprop -id " + main + " WM_CLASS");

    auto startFromMenu = [&] {
        ChildProcess launcher({prefix + "/bin/tolvara"}, dir.path(), dir.file("launcher.log"),
                              {"XDG_DATA_HOME=" + dir.file("data")});
        const std::optional<int> status = launcher.WaitExit(15000ms);
        return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
    };
    Focus(main);
    Key("Escape");
    ASSERT_TRUE(WaitFor([&] { return !Viewable(main); }));
    EXPECT_TRUE(startFromMenu()) << ReadWholeFile(dir.file("launcher.log"));
    EXPECT_TRUE(WaitFor([&] { return Viewable(main); }));
    Shell("xdotool windowminimize --sync " + main);
    ASSERT_TRUE(WaitFor([&] { return !Viewable(main); }));
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(startFromMenu()) << ReadWholeFile(dir.file("launcher.log"));
    EXPECT_TRUE(WaitFor([&] { return Viewable(main); }));
    EXPECT_EQ(Ids(Shell("xdotool search --onlyvisible --name '^Tolvara v1.0 Beta$'")).size(), 1u);
    EXPECT_TRUE(program->Running());

    // "친구 목록", the tray menu's fourth item.
    ASSERT_FALSE(OpenTrayMenu().empty());
    Key("Down Down Down Down Return");
    std::string friends;
    ASSERT_TRUE(WaitFor([&] { return Viewable(friends = FindWindow("친구 목록")); }));
    MouseAway();
    const Rect d = Info(friends).rect, w = Info(main).rect;
    EXPECT_LE(std::abs((d.x + d.w / 2) - (w.x + w.w / 2)), 8) << d.x << " " << w.x;
    EXPECT_LE(std::abs((d.y + d.h / 2) - (w.y + w.h / 2)), 24) << d.y << " " << w.y;  // title bars differ
    Focus(main);
    ASSERT_FALSE(OpenTrayMenu().empty());
    Key("Down Down Down Down Return");
    MouseAway();
    EXPECT_TRUE(WaitFor([&] { return Shell("xdotool getactivewindow") == friends + "\n"; }))
        << Shell("xdotool getactivewindow");
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(Ids(Shell("xdotool search --onlyvisible --name '^친구 목록$'")).size(), 1u);
    EXPECT_TRUE(Screenshot(friends, "friend-list-dialog.png"));
    ExitFromTrayMenu();
}

}  // namespace
