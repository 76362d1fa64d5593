#include "support/DesktopSession.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <thread>

namespace desktop {

using Clock = std::chrono::steady_clock;

bool OnPath(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

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

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(100ms);
    }
    return done();
}

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

std::string StartAndReadLine(std::optional<ChildProcess>& child,
                             const std::function<std::vector<std::string>(int fd)>& argv, const std::string& output) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    child.emplace(argv(fds[1]), "", output, std::vector<std::string>{}, fds[1]);
    ::close(fds[1]);
    std::string line;
    pollfd p{fds[0], POLLIN, 0};
    while (::poll(&p, 1, 30000) > 0) {
        char c;
        if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
        line += c;
    }
    ::close(fds[0]);
    return line;
}

bool Viewable(const std::string& id) { return !id.empty() && Info(id).viewable; }

void Key(const std::string& keys) { Shell("xdotool key --delay 60 " + keys); }
void Focus(const std::string& window) { Shell("xdotool windowfocus --sync " + window); }
void ClickOn(const std::string& window, int button) {
    Shell("xdotool mousemove --sync --window " + window + " 8 8 click " + std::to_string(button));
}
void MouseAway() { Shell("xdotool mousemove --sync 5 5"); }

}  // namespace desktop

using namespace desktop;

void DesktopTest::StartDesktop() {
    for (const char* tool : {"Xvfb", "openbox", "trayer", "xdotool", "xwininfo", "xprop", "import"})
        if (!OnPath(tool)) GTEST_SKIP() << tool << " is not installed";
    artifacts = std::filesystem::path(TOLVARA_BIN_DIR).parent_path() / "artifacts";
    std::filesystem::create_directories(artifacts);

    // Xvfb picks a free display and tells us its number on a pipe.
    std::string number;
    const auto startXvfb = [&] {
        number = StartAndReadLine(
            xvfb,
            [](int fd) {
                return std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fd), "-screen", "0",
                                                "1024x768x24", "-nolisten", "tcp", "-noreset"};
            },
            dir.file("xvfb.log"));
    };
    ASSERT_TRUE(StartWithOneRetry(xvfb, startXvfb, [&] { return !number.empty(); }))
        << ReadWholeFile(dir.file("xvfb.log"));
    ::setenv("DISPLAY", (":" + number).c_str(), 1);
    // The program must find the XEmbed tray, not a desktop bus of the session.
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::unsetenv("QT_QPA_PLATFORMTHEME");
    // A sanitizer build reports the font library's leaks at exit, which would turn the
    // clean exit into a failure; the project's suppressions apply unless set already.
    ::setenv("LSAN_OPTIONS", "suppressions=" TOLVARA_SOURCE_DIR "/scripts/lsan.supp:print_suppressions=0", 0);

    ASSERT_TRUE(StartWithOneRetry(
        wm, [&] { wm.emplace(std::vector<std::string>{"openbox", "--sm-disable"}, "", dir.file("openbox.log")); },
        [] { return Shell("xprop -root _NET_SUPPORTING_WM_CHECK").find("window id") != std::string::npos; }))
        << ReadWholeFile(dir.file("openbox.log"));

    ASSERT_TRUE(StartWithOneRetry(
        tray,
        [&] {
            tray.emplace(std::vector<std::string>{"trayer", "--edge", "bottom", "--align", "right", "--widthtype",
                                                  "pixel", "--width", "120", "--heighttype", "pixel", "--height",
                                                  "32", "--transparent", "false"},
                         "", dir.file("trayer.log"));
        },
        [] { return Viewable(FindWindow("panel")); }))
        << ReadWholeFile(dir.file("trayer.log"));
    std::filesystem::create_directories(dir.file("work"));
    // The channel by which a second start finds this copy is the test's own.
    std::filesystem::create_directories(dir.file("runtime"));
    std::filesystem::permissions(dir.file("runtime"), std::filesystem::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", dir.file("runtime").c_str(), 1);
}

void DesktopTest::StartProgram(const std::vector<std::string>& env) {
    if (settings) {
        const auto bytes = EncodeSettings(*settings);
        WriteWholeFile(dir.file("work/" + std::string(SETTINGS_FILE_NAME)), std::string(bytes.begin(), bytes.end()));
    }
    program.emplace(std::vector<std::string>{std::string(TOLVARA_BIN_DIR) + "/tolvara"}, dir.file("work"),
                    dir.file("tolvara.log"), env);
    ASSERT_TRUE(WaitFor([&] { return Viewable(main = FindWindow("Tolvara v1.0 Beta")); }, 30000ms))
        << ReadWholeFile(dir.file("tolvara.log"));
    ASSERT_TRUE(WaitFor([&] { return !(icon = FindTrayIcon()).empty(); }, 30000ms))
        << Shell("xwininfo -root -tree");
    ASSERT_TRUE(Popups().empty());
}

std::string DesktopTest::OpenTrayMenu() {
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

bool DesktopTest::Screenshot(const std::string& window, const std::string& name) {
    const std::string file = (artifacts / name).string();
    std::filesystem::remove(file);
    Shell("import -window " + window + " " + file);
    return std::filesystem::exists(file) && std::filesystem::file_size(file) > 1000;
}

bool DesktopTest::TrayMenuOpensAndCloses() {
    const bool opened = !OpenTrayMenu().empty();
    Key("Escape");
    WaitFor([] { return Popups().empty(); });
    MouseAway();
    return opened;
}

void DesktopTest::ExitFromTrayMenu() {
    ASSERT_FALSE(OpenTrayMenu().empty()) << "no tray menu";
    Key("Down Down Down Down Down Down Down Down Return");
    const std::optional<int> status = program->WaitExit(10000ms);
    ASSERT_TRUE(status.has_value()) << "still running after the exit item";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_TRUE(FindTrayIcon().empty());
}
