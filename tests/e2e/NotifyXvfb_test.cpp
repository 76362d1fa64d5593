// Alarms as desktop notifications, with the program on a virtual desktop and a session
// bus of the test's own, started as dbus-run-session starts one but with no services
// to activate (an installed dunst would otherwise answer for a bus "without" one).
// dbus-monitor writes down every call and signal of the notification interface. The
// program runs in a network namespace of its own, so the connections it reports are
// the test's alone.
#include <netinet/in.h>
#include <sys/socket.h>

#include <regex>
#include <sstream>
#include <thread>

#include "support/DesktopSession.h"
#include "support/LoopbackSockets.h"
#include "support/NetNamespace.h"

namespace {

using namespace desktop;

const std::string kStamp = R"(\d{4}년 \d{1,2}월 \d{1,2}일 \d{2}:\d{2}:\d{2} - )";

// A connection the program sees once: its client end is port 80 of 127.0.0.2, so the
// server end's row has remote port 80, which the default settings ignore as HTTP.
struct SeenOnce {
    Fd listener, client, server;
    uint16_t port = 0;
};

SeenOnce ConnectSeenOnce() {
    SeenOnce c;
    c.listener = TcpListener("127.0.0.1");
    c.port = LocalPort(c.listener.get());
    c.client = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in from = Loopback(80, "127.0.0.2");
    const sockaddr_in to = Loopback(c.port);
    EXPECT_EQ(::bind(c.client.get(), reinterpret_cast<const sockaddr*>(&from), sizeof from), 0);
    EXPECT_EQ(::connect(c.client.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    c.server = Accept(c.listener.get());
    return c;
}

class NotifyXvfb : public DesktopTest {
protected:
    void SetUp() override {
        if (const std::string why = NamespaceUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
        for (const char* tool : {"dbus-daemon", "dbus-monitor", "dunst", "dunstctl"})
            if (!OnPath(tool)) GTEST_SKIP() << tool << " is not installed";
        ns.emplace("notify");
        inside.emplace(*ns);
        StartDesktop();
        if (HasFatalFailure() || IsSkipped()) return;
        StartBus();
        if (HasFatalFailure()) return;
        if (withServer) {
            WriteWholeFile(dir.file("dunstrc"), "[global]\n    markup = full\n");
            dunst.emplace(std::vector<std::string>{"dunst", "-config", dir.file("dunstrc")}, "", dir.file("dunst.log"));
            ASSERT_TRUE(WaitFor([] { return Shell("dunstctl count displayed") == "0\n"; }))
                << ReadWholeFile(dir.file("dunst.log"));
        }
        MonitorSettings s = DefaultSettings();
        s.refreshInterval = 1;
        s.externalAlarm = 1;
        settings = s;
        // Port names from this file only, so the line's numbers stay numbers.
        WriteWholeFile(dir.file("work/services"), "http 80/tcp\n");
        StartProgram();
    }

    void StartBus() {
        std::filesystem::create_directories(dir.file("bus"));
        WriteWholeFile(dir.file("bus.conf"),
                       "<busconfig><type>session</type><listen>unix:dir=" + dir.file("bus") +
                           "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                           "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                           "<allow own=\"*\"/></policy></busconfig>\n");
        const std::string address = StartAndReadLine(
            bus,
            [&](int fd) {
                return std::vector<std::string>{"dbus-daemon", "--config-file=" + dir.file("bus.conf"), "--nofork",
                                                "--print-address=" + std::to_string(fd)};
            },
            dir.file("bus.log"));
        ASSERT_FALSE(address.empty()) << ReadWholeFile(dir.file("bus.log"));
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        monitor.emplace(std::vector<std::string>{"dbus-monitor", "interface='org.freedesktop.Notifications'"}, "",
                        dir.file("monitor.log"));
        // It is watching once the bus has taken its name away.
        ASSERT_TRUE(WaitFor([&] { return ReadWholeFile(dir.file("monitor.log")).find("NameLost") != std::string::npos; }));
    }

    // The messages dbus-monitor saw with this member, each as its block of lines.
    std::vector<std::string> Seen(const std::string& member) {
        std::vector<std::string> blocks;
        std::istringstream in(ReadWholeFile(dir.file("monitor.log")));
        std::string line, block;
        auto keep = [&] {
            if (block.find("member=" + member + "\n") != std::string::npos) blocks.push_back(block);
        };
        // A body's later lines start at the margin too.
        const std::regex head("^(method call|method return|signal|error) time=");
        while (std::getline(in, line)) {
            if (std::regex_search(line, head)) keep(), block.clear();
            block += line + "\n";
        }
        keep();
        return blocks;
    }

    bool withServer = true;
    std::optional<TestNetns> ns;
    std::optional<TestNetns::Inside> inside;
    std::optional<ChildProcess> bus, monitor, dunst;
};

class NotifyWithoutServer : public NotifyXvfb {
protected:
    void SetUp() override {
        withServer = false;
        NotifyXvfb::SetUp();
    }
};

bool Has(const std::string& text, const std::string& re) { return std::regex_search(text, std::regex(re)); }

TEST_F(NotifyXvfb, OneConnectIsOneCriticalNotificationWhoseDefaultActionShowsTheWindow) {
    SeenOnce c = ConnectSeenOnce();
    ASSERT_TRUE(WaitFor([&] { return !Seen("Notify").empty(); }, 10000ms)) << ReadWholeFile(dir.file("monitor.log"));
    std::this_thread::sleep_for(2500ms);  // two more refreshes add nothing
    const std::vector<std::string> calls = Seen("Notify");
    ASSERT_EQ(calls.size(), 1u) << ReadWholeFile(dir.file("monitor.log"));
    const std::string& n = calls[0];
    EXPECT_TRUE(Has(n, "^[^\n]*\n   string \"Tolvara\"\n   uint32 0\n   string \"file://[^\"]+\\.png\"\n"
                       "   string \"외부 접속 경보\"\n"))
        << n;
    // The history line, escaped: the server takes markup.
    EXPECT_TRUE(Has(n, "\n   string \"" + kStamp + "&lt;\\+\\+\\+연결\\+\\+\\+&gt; 127\\.0\\.0\\.1 : " +
                           std::to_string(c.port) + " - http\"\n"))
        << n;
    EXPECT_TRUE(Has(n, "string \"urgency\"\\s+variant\\s+byte 2\n")) << n;
    EXPECT_TRUE(Has(n, "string \"category\"\\s+variant\\s+string \"network.connected\"\n")) << n;
    EXPECT_TRUE(Has(n, "string \"desktop-entry\"\\s+variant\\s+string \"io.github.tolvara.Tolvara\"\n")) << n;
    EXPECT_TRUE(Has(n, "string \"default\"\\s+string \"창 보이기\"\\s+string \"show-window\"\\s+string \"창 보이기\"")) << n;
    std::smatch icon;
    ASSERT_TRUE(std::regex_search(n, icon, std::regex("string \"file://([^\"]+)\"")));
    EXPECT_TRUE(std::filesystem::is_regular_file(icon[1].str())) << icon[1];
    EXPECT_EQ(Shell("dunstctl count displayed"), "1\n");
    EXPECT_TRUE(Screenshot("root", "alarm-notification.png"));

    // Hidden, as the close box leaves it; the notification's default action shows it.
    Focus(main);
    Key("Escape");
    ASSERT_TRUE(WaitFor([&] { return !Viewable(main); }));
    Shell("dunstctl action 0");
    EXPECT_TRUE(WaitFor([&] { return Viewable(main); })) << ReadWholeFile(dir.file("monitor.log"));
}

TEST_F(NotifyXvfb, TenConnectionsLeaveOneNotificationThatCountsThem) {
    Fd listener = TcpListener("127.0.0.1");
    std::vector<Fd> ends;
    for (int i = 0; i < 10; ++i) {
        ends.push_back(TcpConnect(LocalPort(listener.get())));
        ends.push_back(Accept(listener.get()));
    }
    // Both ends of each are connects: twenty lines, the newest five shown.
    const std::string counted = "외부 접속 20건 \\(최근 5건\\)\n(" + kStamp + "&lt;[^\n]+\n){4}" + kStamp + "&lt;[^\n]+\"";
    ASSERT_TRUE(WaitFor([&] { return !Seen("Notify").empty() && Has(Seen("Notify").back(), counted); }, 10000ms))
        << ReadWholeFile(dir.file("monitor.log"));
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(Shell("dunstctl count displayed"), "1\n");
    EXPECT_EQ(Shell("dunstctl count history"), "0\n");  // none closed or pushed aside
    // Every later call replaces the first one's notification.
    const std::vector<std::string> calls = Seen("Notify");
    std::set<std::string> replaced;
    for (size_t i = 0; i < calls.size(); ++i) {
        std::smatch id;
        ASSERT_TRUE(std::regex_search(calls[i], id, std::regex("\n   uint32 (\\d+)\n")));
        if (i == 0) EXPECT_EQ(id[1], "0");
        else replaced.insert(id[1]);
    }
    EXPECT_EQ(replaced.size(), calls.size() > 1 ? 1u : 0u);
    EXPECT_EQ(replaced.count("0"), 0u);
}

TEST_F(NotifyWithoutServer, TheAlarmIsABox) {
    SeenOnce c = ConnectSeenOnce();
    std::string box;
    ASSERT_TRUE(WaitFor([&] { return Viewable(box = FindWindow("외부 접속 경보")); }, 10000ms))
        << ReadWholeFile(dir.file("tolvara.log"));
    EXPECT_FALSE(Seen("GetCapabilities").empty());
    EXPECT_TRUE(Seen("Notify").empty());
    ExitFromTrayMenu();
}

}  // namespace
