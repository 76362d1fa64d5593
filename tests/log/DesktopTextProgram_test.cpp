// Showing a file with the desktop's program for text files: which program xdg-mime
// names, whether it needs a terminal, and what xdg-open's exit status says, all without
// blocking the caller's thread.
#include "log/DesktopTextProgram.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QObject>

#include <cstdlib>
#include <optional>
#include <sys/stat.h>

#include "support/TestSupport.h"

namespace {

void Executable(const std::string& path, const std::string& script) {
    WriteWholeFile(path, "#!/bin/sh\n" + script + "\n");
    ::chmod(path.c_str(), 0755);
}

// A desktop of the test's own: xdg-mime names `handler`, xdg-open records its arguments
// and ends with `openStatus`; the entries live in the test's data folder.
class FakeDesktop {
public:
    FakeDesktop(const std::string& handler, const std::string& openScript = "exit 0") {
        Executable(dir.file("xdg-mime"), "[ \"$*\" = \"query default text/plain\" ] && printf '%s\\n' '" + handler + "'");
        Executable(dir.file("xdg-open"), "printf '%s\\n' \"$@\" > '" + opened() + "'\n" + openScript);
        ::mkdir(dir.file("data").c_str(), 0700);
        ::mkdir(dir.file("data/applications").c_str(), 0700);
        Save("PATH", dir.path() + ":" + Old("PATH"));
        Save("XDG_DATA_HOME", dir.file("data"));
        Save("XDG_DATA_DIRS", dir.file("none"));
    }
    ~FakeDesktop() {
        for (auto& [name, value] : saved_) ::setenv(name.c_str(), value.c_str(), 1);
    }
    void Entry(const std::string& id, const std::string& text) { WriteWholeFile(dir.file("data/applications/" + id), text); }
    std::string opened() const { return dir.file("opened.txt"); }
    bool Ran() const { return ::access(opened().c_str(), F_OK) == 0; }

    // Opens `path` and serves the event loop until the answer comes; nullopt if none does.
    std::optional<bool> Open(const std::string& path, DesktopOpenLimits limits = {}) {
        EnsureCoreApp();
        QObject context;
        std::optional<bool> answer;
        QElapsedTimer t;
        t.start();
        OpenWithDesktopTextProgram(path, &context, [&](bool shown) { answer = shown; }, limits);
        EXPECT_LT(t.elapsed(), 500) << "the caller waited";
        ServeEventsUntil([&] { return answer.has_value(); }, 20000);
        return answer;
    }
    TempDir dir;

private:
    static std::string Old(const char* name) { return std::getenv(name) ? std::getenv(name) : ""; }
    void Save(const std::string& name, const std::string& value) {
        saved_.emplace_back(name, Old(name.c_str()));
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    std::vector<std::pair<std::string, std::string>> saved_;
};

const char kEditorEntry[] = "[Desktop Entry]\nType=Application\nName=Editor\nExec=editor %f\n";

TEST(DesktopTextProgram, AGraphicalProgramGetsTheFullPathAndItsSuccessCounts) {
    FakeDesktop desktop("org.example.Editor.desktop");
    // Terminal=true elsewhere than in the entry's own group does not count.
    desktop.Entry("org.example.Editor.desktop", std::string(kEditorEntry) + "Terminal = false\n[Desktop Action New]\nTerminal=true\n");
    EXPECT_EQ(desktop.Open("/work dir/20000907_tolvara.log"), std::optional<bool>(true));
    EXPECT_EQ(ReadWholeFile(desktop.opened()), "/work dir/20000907_tolvara.log\n");
}

// Each of these leaves the file unshown unless the caller shows it itself.
TEST(DesktopTextProgram, NoProgramATerminalProgramOrAFailingOpenerIsReported) {
    {
        FakeDesktop desktop("");  // xdg-open would fall back to $EDITOR
        EXPECT_EQ(desktop.Open("/w/log"), std::optional<bool>(false));
        EXPECT_FALSE(desktop.Ran());
    }
    {
        FakeDesktop desktop("vim.desktop");
        desktop.Entry("vim.desktop", std::string(kEditorEntry) + "Terminal=true\n");
        EXPECT_EQ(desktop.Open("/w/log"), std::optional<bool>(false));
        EXPECT_FALSE(desktop.Ran());
    }
    {
        // As xdg-open does where the named program cannot be run.
        FakeDesktop desktop("org.example.Editor.desktop", "exit 4");
        EXPECT_EQ(desktop.Open("/w/log"), std::optional<bool>(false));
        EXPECT_TRUE(desktop.Ran());
    }
    {
        FakeDesktop desktop("../../evil.desktop");  // a name, never a path
        EXPECT_EQ(desktop.Open("/w/log"), std::optional<bool>(false));
        EXPECT_FALSE(desktop.Ran());
    }
}

// A query that never answers counts as no program; an opener still busy at its limit
// is taken to be showing the file.
TEST(DesktopTextProgram, TimeLimits) {
    {
        FakeDesktop desktop("org.example.Editor.desktop");
        Executable(desktop.dir.file("xdg-mime"), "exec sleep 30");
        QElapsedTimer t;
        t.start();
        EXPECT_EQ(desktop.Open("/w/log", {300, 300}), std::optional<bool>(false));
        EXPECT_LT(t.elapsed(), 5000);
        EXPECT_FALSE(desktop.Ran());
    }
    FakeDesktop desktop("org.example.Editor.desktop", "exec sleep 30");
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(desktop.Open("/w/log", {2000, 300}), std::optional<bool>(true));
    EXPECT_LT(t.elapsed(), 5000);
}

}  // namespace
