// The installed program: `cmake --install` into a temporary prefix, the desktop files
// as the desktop's own validators see them, the launcher starting the installed
// program in its data folder, the autostart switch, and the Debian package.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QIcon>
#include <QImage>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "res/BitmapsUi.h"
#include "res/Resource.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kId = "io.github.tolvara.Tolvara";
const int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

struct Result {
    int status = -1;
    std::string output;
};

std::string Quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

Result Shell(const std::string& command) {
    Result r;
    if (FILE* p = ::popen((command + " 2>&1").c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
        const int status = ::pclose(p);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return r;
}

std::string Link(const std::string& path) {
    std::error_code ec;
    return fs::read_symlink(path, ec).string();
}

// Every file of the installation, relative to the prefix.
std::set<std::string> ExpectedFiles() {
    const std::string icons = "share/icons/hicolor/";
    std::set<std::string> files = {
        "bin/tolvara",
        "bin/tolvara-autostart",
        "libexec/tolvara/tolvara",
        "libexec/tolvara/libinetmib1.so",
        "share/applications/" + kId + ".desktop",
        "share/metainfo/" + kId + ".metainfo.xml",
        icons + "scalable/apps/" + kId + ".svg",
    };
    for (int size : kIconSizes)
        files.insert(icons + std::to_string(size) + "x" + std::to_string(size) + "/apps/" + kId + ".png");
    return files;
}

std::set<std::string> FilesUnder(const std::string& root) {
    std::set<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (!e.is_directory()) files.insert(fs::relative(e.path(), root).string());
    return files;
}

QGuiApplication& GuiApp() {
    static int argc = 3;
    static char name[] = "Install_test", option[] = "-platform", platform[] = "offscreen";
    static char* argv[] = {name, option, platform, nullptr};
    static auto* app = new QGuiApplication(argc, argv);
    return *app;
}

class InstallTest : public ::testing::Test {
protected:
    // Each test program installs afresh: CTest runs the tests as separate processes.
    static void SetUpTestSuite() {
        root_ = new TempDir;
        prefix_ = fs::canonical(root_->path()).string() + "/prefix";
        const Result r = Shell(Quoted(TOLVARA_CMAKE) + " --install " + Quoted(TOLVARA_BUILD_DIR) + " --prefix " +
                             Quoted(prefix_));
        ASSERT_EQ(0, r.status) << r.output;
    }
    static void TearDownTestSuite() {
        delete root_;
        root_ = nullptr;
    }

    static std::string Installed(const std::string& relative) { return prefix_ + "/" + relative; }
    std::string Scratch(const std::string& name) const { return fs::canonical(root_->path()).string() + "/" + name; }

    // Starts the launcher and waits until the installed program runs with its agent
    // loaded from the installed place; returns the program's working directory.
    static std::string StartAndWait(ChildProcess& launcher, const std::string& output) {
        const std::string agent = Installed("libexec/tolvara/libinetmib1.so");
        const std::string maps = "/proc/" + std::to_string(launcher.pid()) + "/maps";
        for (int i = 0; i < 400 && ReadWholeFile(maps).find(agent) == std::string::npos && launcher.Running(); ++i)
            std::this_thread::sleep_for(50ms);
        EXPECT_NE(ReadWholeFile(maps).find(agent), std::string::npos) << ReadWholeFile(output);
        EXPECT_EQ(Installed("libexec/tolvara/tolvara"), Link("/proc/" + std::to_string(launcher.pid()) + "/exe"));
        return Link("/proc/" + std::to_string(launcher.pid()) + "/cwd");
    }

    static void EndWithSigterm(ChildProcess& program, const std::string& output) {
        program.Signal(SIGTERM);
        const std::optional<int> status = program.WaitExit(10000ms);
        ASSERT_TRUE(status.has_value()) << "still running after SIGTERM";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << "\n" << ReadWholeFile(output);
    }

    static TempDir* root_;
    static std::string prefix_;
};

TempDir* InstallTest::root_ = nullptr;
std::string InstallTest::prefix_;

TEST_F(InstallTest, PutsEachFileInItsPlaceAndTheDesktopFilesValidate) {
    EXPECT_EQ(ExpectedFiles(), FilesUnder(prefix_));
    for (const char* program : {"bin/tolvara", "bin/tolvara-autostart", "libexec/tolvara/tolvara"})
        EXPECT_EQ(0, ::access(Installed(program).c_str(), X_OK)) << program;

    const Result entry = Shell("desktop-file-validate " + Quoted(Installed("share/applications/" + kId + ".desktop")));
    EXPECT_EQ(0, entry.status) << entry.output;
    EXPECT_EQ("", entry.output);
    const Result metainfo =
        Shell("appstreamcli validate --no-net " + Quoted(Installed("share/metainfo/" + kId + ".metainfo.xml")));
    EXPECT_EQ(0, metainfo.status) << metainfo.output;
}

// The PNGs come from the SVG; both must stay the picture the program draws itself.
TEST_F(InstallTest, IconsAreTheProgramsOwnDrawingAtEverySize) {
    GuiApp();
    const QIcon own = LoadIconResource(IDI_MAINFRAME);
    for (int size : kIconSizes) {
        const std::string dir = std::to_string(size) + "x" + std::to_string(size);
        const QImage png(QString::fromStdString(Installed("share/icons/hicolor/" + dir + "/apps/" + kId + ".png")));
        ASSERT_EQ(QSize(size, size), png.size()) << dir;
        if (size > 64) continue;  // the program draws up to 64 pixels
        const QImage a = png.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        const QImage b = own.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
        ASSERT_EQ(a.size(), b.size()) << dir;
        double sum = 0;
        int most = 0;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x) {
                const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
                for (int d : {qRed(p) - qRed(q), qGreen(p) - qGreen(q), qBlue(p) - qBlue(q), qAlpha(p) - qAlpha(q)}) {
                    sum += std::abs(d);
                    most = std::max(most, std::abs(d));
                }
            }
        // Edges antialias a little differently; a missing or moved part is far off.
        EXPECT_LT(sum / (size * size * 4), 4.0) << dir;
        EXPECT_LE(most, 96) << dir;
    }
}

TEST_F(InstallTest, LauncherStartsTheInstalledProgramInAFreshDataFolder) {
    const std::string dataHome = Scratch("fresh home/data");  // a space on the way
    const std::string output = Scratch("fresh.txt");
    ChildProcess launcher({Installed("bin/tolvara"), "-platform", "offscreen"}, root_->path(), output,
                          {"XDG_DATA_HOME=" + dataHome});
    EXPECT_EQ(dataHome + "/tolvara", StartAndWait(launcher, output));
    struct stat st {};
    ASSERT_EQ(0, ::stat((dataHome + "/tolvara").c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);
    EndWithSigterm(launcher, output);
}

TEST_F(InstallTest, LauncherIgnoresARelativeDataHomeAndRefusesAnUnusableFolder) {
    const std::string home = Scratch("home");
    const std::string output = Scratch("relative.txt");
    {
        ChildProcess launcher({Installed("bin/tolvara"), "-platform", "offscreen"}, root_->path(), output,
                              {"HOME=" + home, "XDG_DATA_HOME=relative/data"});
        EXPECT_EQ(home + "/.local/share/tolvara", StartAndWait(launcher, output));
        EndWithSigterm(launcher, output);
    }
    EXPECT_FALSE(fs::exists(root_->path() + "/relative"));

    // The data folder's name taken by a file: a clear refusal, the program not started.
    fs::create_directories(Scratch("blocked"));
    WriteWholeFile(Scratch("blocked/tolvara"), "not a folder");
    const Result r = Shell("XDG_DATA_HOME=" + Quoted(Scratch("blocked")) + " QT_QPA_PLATFORM=offscreen " +
                         Quoted(Installed("bin/tolvara")));
    EXPECT_EQ(1, r.status) << r.output;
    EXPECT_NE(r.output.find("cannot use " + Scratch("blocked/tolvara") + " as the data folder"), std::string::npos)
        << r.output;
}

TEST_F(InstallTest, AutostartSwitchesTheSessionEntryOnAndOffForOneUser) {
    const std::string config = Scratch("config"), systemDirs = Scratch("xdg");
    const std::string userEntry = config + "/autostart/" + kId + ".desktop";
    const std::string systemEntry = systemDirs + "/autostart/" + kId + ".desktop";
    const std::string installed = ReadWholeFile(Installed("share/applications/" + kId + ".desktop"));
    auto autostart = [&](const std::string& what) {
        return Shell("XDG_CONFIG_HOME=" + Quoted(config) + " XDG_CONFIG_DIRS=" + Quoted("relative:" + systemDirs) + " " +
                   Quoted(Installed("bin/tolvara-autostart")) + " " + what);
    };
    auto said = [&](const std::string& what) { return autostart(what).output; };

    EXPECT_EQ("off: no autostart entry\n", said("status"));
    EXPECT_EQ("on: copied " + Installed("share/applications/" + kId + ".desktop") + " to " + userEntry + "\n",
              said("on"));
    EXPECT_EQ(installed, ReadWholeFile(userEntry));
    EXPECT_EQ("on: " + userEntry + "\n", said("status"));
    EXPECT_EQ("off: removed " + userEntry + "\n", said("off"));
    EXPECT_FALSE(fs::exists(userEntry));
    EXPECT_EQ("off: already off (no " + userEntry + ")\n", said("off"));

    // A system-wide entry is switched off for this user by a hidden copy.
    fs::create_directories(systemDirs + "/autostart");
    WriteWholeFile(systemEntry, installed);
    EXPECT_EQ("on: system-wide " + systemEntry + "\n", said("status"));
    EXPECT_EQ("off: wrote " + userEntry + " with Hidden=true, which switches the system-wide " + systemEntry +
                  " off for you\n",
              said("off"));
    const std::string hidden = ReadWholeFile(userEntry);
    EXPECT_EQ(0u, hidden.find("[Desktop Entry]\nHidden=true\n")) << hidden;
    const Result valid = Shell("desktop-file-validate " + Quoted(userEntry));
    EXPECT_EQ(0, valid.status) << valid.output;
    EXPECT_EQ("off: switched off by " + userEntry + " (Hidden=true)\n", said("status"));
    said("on");
    EXPECT_EQ(installed, ReadWholeFile(userEntry));

    const Result wrong = autostart("maybe");
    EXPECT_EQ(2, wrong.status);
    EXPECT_EQ("usage: tolvara-autostart on|off|status\n", wrong.output);
}

TEST_F(InstallTest, DebianPackageCarriesTheProgramAndGrantsItsCapabilities) {
    const std::string out = Scratch("package");
    const Result made = Shell("cd " + Quoted(TOLVARA_BUILD_DIR) + " && " + Quoted(TOLVARA_CPACK) + " -G DEB -B " +
                            Quoted(out));
    ASSERT_EQ(0, made.status) << made.output;
    std::string deb;
    for (const auto& e : fs::directory_iterator(out))
        if (e.path().extension() == ".deb") deb = e.path().string();
    ASSERT_FALSE(deb.empty()) << made.output;

    // Files only: the listing's lines for anything but a directory.
    std::set<std::string> packaged;
    const Result contents = Shell("dpkg-deb -c " + Quoted(deb));
    ASSERT_EQ(0, contents.status) << contents.output;
    size_t at = 0;
    while (at < contents.output.size()) {
        const size_t end = contents.output.find('\n', at);
        const std::string line = contents.output.substr(at, end - at);
        at = end == std::string::npos ? contents.output.size() : end + 1;
        if (!line.empty() && line[0] != 'd') packaged.insert(line.substr(line.find("./")));
    }
    std::set<std::string> expected;
    for (const std::string& f : ExpectedFiles()) expected.insert("./usr/" + f);
    EXPECT_EQ(expected, packaged);

    const Result depends = Shell("dpkg-deb -f " + Quoted(deb) + " Depends");
    for (const char* dependency : {"libcap2-bin", "libc6", "libqt6core6", "libqt6gui6", "libqt6widgets6"})
        EXPECT_NE(depends.output.find(dependency), std::string::npos) << dependency << " in " << depends.output;

    // The post-install step, against a stand-in setcap: it grants the two capabilities
    // and, where they cannot be granted, warns and lets the installation finish.
    const std::string control = Scratch("control"), bin = Scratch("fakebin");
    ASSERT_EQ(0, Shell("dpkg-deb -e " + Quoted(deb) + " " + Quoted(control)).status);
    // No removal script: with one, dpkg -r would keep the package's record until a purge.
    EXPECT_EQ((std::set<std::string>{"control", "md5sums", "postinst"}), FilesUnder(control));
    fs::create_directories(bin);
    const std::string fake = bin + "/setcap", log = Scratch("setcap.log");
    auto postinst = [&](const std::string& body) {
        WriteWholeFile(fake, "#!/bin/sh\n" + body + "\n");
        fs::permissions(fake, fs::perms::owner_all);
        return Shell("PATH=" + Quoted(bin) + ":/usr/bin:/bin sh " + Quoted(control + "/postinst") + " configure");
    };
    Result granted = postinst("echo \"$@\" >" + Quoted(log));
    EXPECT_EQ(0, granted.status) << granted.output;
    EXPECT_EQ("", granted.output);
    EXPECT_EQ("cap_net_bind_service,cap_net_raw=ep /usr/libexec/tolvara/tolvara\n", ReadWholeFile(log));
    Result refused = postinst("echo 'Failed to set capabilities: Operation not supported' >&2; exit 1");
    EXPECT_EQ(0, refused.status) << refused.output;
    EXPECT_NE(refused.output.find("warning: could not grant /usr/libexec/tolvara/tolvara"), std::string::npos)
        << refused.output;
}

}  // namespace
