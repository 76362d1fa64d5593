// The real program, offscreen, in an empty directory: a loopback TCP connection opened
// and closed by the test must show up as connect and disconnect lines in the day's log,
// also behind more rows than a small table would hold.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "monitor/CNetTableAgent.h"
#include "monitor/ConnectionList.h"
#include "ports/CPortNameTable.h"
#include "support/ChildProcess.h"
#include "support/MonitorHarness.h"
#include "support/LoopbackSockets.h"
#include "support/NetNamespace.h"
#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string LogNameFor(std::time_t when) {
    std::tm t{};
    localtime_r(&when, &t);
    char name[64];
    std::snprintf(name, sizeof name, "%d%02d%02d_tolvara.log", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    return name;
}

std::string RegexEscape(const std::string& s) {
    static const std::string special = R"(\^$.|?*+()[]{}-/)";
    std::string out;
    for (char c : s) {
        if (special.find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Index of the first line matching re, or -1.
int FindLine(const std::vector<std::string>& lines, const std::regex& re) {
    for (size_t i = 0; i < lines.size(); ++i)
        if (std::regex_match(lines[i], re)) return static_cast<int>(i);
    return -1;
}

// The program started offscreen in a fresh directory that holds only the given
// settings file (and services file, if any), and its log: the day's file and the next
// day's, should the run cross midnight.
class LoggingProgram {
public:
    explicit LoggingProgram(const std::string& settings, const std::string& services = {}) {
        WriteWholeFile(work_.file("TVENV.INI"), settings);
        if (!services.empty()) WriteWholeFile(work_.file("services"), services);
        const std::time_t started = std::time(nullptr);
        logNames_ = {LogNameFor(started), LogNameFor(started + 86400)};
        program_.emplace(std::vector<std::string>{std::string(TOLVARA_BIN_DIR) + "/tolvara"}, work_.path(),
                         output_, std::vector<std::string>{"QT_QPA_PLATFORM=offscreen"});
    }

    const TempDir& work() const { return work_; }
    const std::vector<std::string>& logNames() const { return logNames_; }
    ChildProcess& process() { return *program_; }

    std::string ReadLog() const {
        std::string all;
        for (const std::string& name : logNames_) all += ReadWholeFile(work_.file(name));
        return all;
    }
    std::string FailureNote() const {
        return "log:\n" + ReadLog() + "\nprogram output:\n" + ReadWholeFile(output_);
    }
    // Waits until pred holds for the log's lines, up to 15 s or until the program ends.
    template <class Pred>
    bool WaitFor(Pred pred) {
        const auto deadline = Clock::now() + std::chrono::seconds(15);
        while (Clock::now() < deadline && program_->Running()) {
            if (pred(SplitLines(ReadLog()))) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return pred(SplitLines(ReadLog()));
    }

private:
    TempDir work_;
    TempDir scratch_;
    const std::string output_ = scratch_.file("tolvara.out");
    std::vector<std::string> logNames_;
    std::optional<ChildProcess> program_;
};

std::string SettingsFile(const unsigned char (&bytes)[20]) {
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

}  // namespace

TEST(MonitorEndToEnd, LoopbackConnectionIsLoggedOnConnectAndDisconnect) {
    // Interval 1 s, display everything, then the flags: window shown, log kept, HTTP
    // ignored, no alarm, port names shown.
    const unsigned char settings[20] = {1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    LoggingProgram run(SettingsFile(settings));

    const std::regex startMark(R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2} - Start Log)");
    ASSERT_TRUE(run.WaitFor([&](const auto& lines) { return FindLine(lines, startMark) >= 0; })) << run.FailureNote();

    Fd listener = TcpListener();
    const int serverPort = LocalPort(listener.get());
    Fd client = TcpConnect(static_cast<uint16_t>(serverPort));
    Fd accepted = Accept(listener.get());
    ASSERT_GE(accepted.get(), 0);
    const int clientPort = LocalPort(client.get());

    // The program names ports from the system's services file, as its working
    // directory holds none.
    CPortNameTable names("/nonexistent/services", SYSTEM_SERVICES_FILE);
    names.SetShowNames(1);
    const std::string serverName = RegexEscape(names.PortName(serverPort));
    const std::string clientName = RegexEscape(names.PortName(clientPort));
    const std::string stamp = R"(\d{4}년 \d{1,2}월 \d{1,2}일 \d{2}:\d{2}:\d{2} - )";
    // Both ends of the connection are established rows of the kernel's table.
    auto line = [&](const char* word, const std::string& remote, const std::string& local) {
        return std::regex(stamp + word + " 127\\.0\\.0\\.1 : " + remote + " - " + local);
    };
    const std::regex clientConnect = line(R"(<\+\+\+연결\+\+\+>)", serverName, clientName);
    const std::regex serverConnect = line(R"(<\+\+\+연결\+\+\+>)", clientName, serverName);
    const std::regex clientDisconnect = line("<---단절--->", serverName, clientName);
    const std::regex serverDisconnect = line("<---단절--->", clientName, serverName);

    EXPECT_TRUE(run.WaitFor([&](const auto& lines) {
        return FindLine(lines, clientConnect) >= 0 && FindLine(lines, serverConnect) >= 0;
    })) << run.FailureNote();

    client.reset();
    accepted.reset();
    listener.reset();
    EXPECT_TRUE(run.WaitFor([&](const auto& lines) {
        return FindLine(lines, clientDisconnect) >= 0 && FindLine(lines, serverDisconnect) >= 0;
    })) << run.FailureNote();

    const std::string log = run.ReadLog();
    EXPECT_EQ(log.find('\r'), std::string::npos);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), '\n');
    const std::vector<std::string> lines = SplitLines(log);
    const int mark = FindLine(lines, startMark);
    EXPECT_EQ(mark, 0);
    EXPECT_LT(mark, FindLine(lines, clientConnect));
    EXPECT_LT(FindLine(lines, clientConnect), FindLine(lines, clientDisconnect));
    EXPECT_LT(FindLine(lines, serverConnect), FindLine(lines, serverDisconnect));

    EXPECT_TRUE(run.process().Running()) << run.FailureNote();
    run.process().Stop();
    // The settings file is left as it was, and the log is the only file added.
    EXPECT_EQ(ReadWholeFile(run.work().file("TVENV.INI")), SettingsFile(settings));
    for (const auto& e : std::filesystem::directory_iterator(run.work().path())) {
        const std::string name = e.path().filename().string();
        EXPECT_TRUE(name == "TVENV.INI" || name == run.logNames()[0] || name == run.logNames()[1]) << name;
    }
}

namespace {

// A connection from and to the address, so that both of its rows carry it as their
// local address; closed on exec, so a program started later holds no copy of it.
struct Connection {
    Fd client, server;
};
Connection ConnectWithin(int listener, const char* address) {
    Connection c;
    c.client = Fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in from = Loopback(0, address);
    sockaddr_in to = Loopback(LocalPort(listener), address);
    if (bind(c.client.get(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(c.client.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        return Connection();
    c.server = Fd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    return c;
}

int CountMatches(const std::vector<std::string>& lines, const std::regex& re) {
    int n = 0;
    for (const std::string& l : lines) n += std::regex_match(l, re) ? 1 : 0;
    return n;
}

// The connect and disconnect lines of both ends of one connection (client end first).
struct EndLines {
    std::regex connects[2], disconnects[2];
    EndLines(const std::string& address, const std::string& serverPort, const std::string& clientPort) {
        const std::string stamp = R"(\d{4}년 \d{1,2}월 \d{1,2}일 \d{2}:\d{2}:\d{2} - )";
        auto line = [&](const char* word, const std::string& remote, const std::string& local) {
            return std::regex(stamp + word + " " + address + " : " + remote + " - " + local);
        };
        for (int end = 0; end < 2; ++end) {
            const std::string& remote = end == 0 ? serverPort : clientPort;
            const std::string& local = end == 0 ? clientPort : serverPort;
            connects[end] = line(R"(<\+\+\+연결\+\+\+>)", remote, local);
            disconnects[end] = line("<---단절--->", remote, local);
        }
    }
};

// Once a connection has closed: each end's disconnect line comes, after its one
// connect line, and the program runs on.
void ExpectBothEndsDisconnected(LoggingProgram& run, const std::regex (&connects)[2],
                                const std::regex (&disconnects)[2]) {
    EXPECT_TRUE(run.WaitFor([&](const auto& lines) {
        return FindLine(lines, disconnects[0]) >= 0 && FindLine(lines, disconnects[1]) >= 0;
    })) << run.FailureNote();
    const std::vector<std::string> lines = SplitLines(run.ReadLog());
    for (int end = 0; end < 2; ++end) {
        EXPECT_EQ(CountMatches(lines, connects[end]), 1);
        EXPECT_LT(FindLine(lines, connects[end]), FindLine(lines, disconnects[end]));
    }
    EXPECT_TRUE(run.process().Running()) << run.FailureNote();
}

}  // namespace

TEST(MonitorEndToEnd, ConnectionBehindMoreThanAHundredRowsIsLogged) {
    const std::string why = NamespaceUnavailableReason();
    if (!why.empty()) GTEST_SKIP() << why;
    // A namespace of the test's own holds exactly the rows it opens.
    TestNetns ns("e2e-rows");
    TestNetns::Inside inside(ns);

    // 60 connections on 127.0.0.1: 121 TCP rows, all sorting before the test's own
    // connection on 127.0.0.2, and a UDP listener.
    Fd bulkListener = TcpListener("127.0.0.1");
    std::vector<Connection> bulk;
    for (int i = 0; i < 60; ++i) {
        bulk.push_back(ConnectWithin(bulkListener.get(), "127.0.0.1"));
        ASSERT_GE(bulk.back().server.get(), 0);
    }
    Fd udp = UdpSocket(0, "127.0.0.3");
    const int udpPort = LocalPort(udp.get());

    // Interval 1 s, display everything, window shown, log kept, HTTP ignored, no
    // alarm, port numbers.
    const unsigned char settings[20] = {1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    LoggingProgram run(SettingsFile(settings));  // started inside the namespace

    const std::string stamp = R"(\d{4}년 \d{1,2}월 \d{1,2}일 \d{2}:\d{2}:\d{2} - )";
    const std::regex bulkConnect(stamp + R"(<\+\+\+연결\+\+\+> 127\.0\.0\.1 : \d+ - \d+)");
    // Every bulk connection is announced from both ends at the first pass.
    EXPECT_TRUE(run.WaitFor([&](const auto& lines) { return CountMatches(lines, bulkConnect) == 120; }))
        << run.FailureNote();

    Fd listener = TcpListener("127.0.0.2");
    Connection own = ConnectWithin(listener.get(), "127.0.0.2");
    ASSERT_GE(own.server.get(), 0);
    const std::string serverPort = std::to_string(LocalPort(listener.get()));
    const std::string clientPort = std::to_string(LocalPort(own.client.get()));
    const EndLines ends("127\\.0\\.0\\.2", serverPort, clientPort);
    const auto& [connects, disconnects] = ends;
    EXPECT_TRUE(run.WaitFor([&](const auto& lines) {
        return FindLine(lines, connects[0]) >= 0 && FindLine(lines, connects[1]) >= 0;
    })) << run.FailureNote();

    // The table as the program reads it: every TCP row, then the UDP rows.
    CNetTableAgent agent(std::string(TOLVARA_BIN_DIR) + "/libinetmib1.so");
    ASSERT_TRUE(agent.Initialize());
    ASSERT_EQ(agent.ReadTables(), 0) << agent.errorText;
    EXPECT_FALSE(agent.ReachedLimit());
    int tcp = 0;
    while (tcp < agent.GetRecordCount() && std::strcmp(agent.records[static_cast<size_t>(tcp)].protocol, "TCP") == 0)
        ++tcp;
    EXPECT_GE(tcp, 124);  // the bulk, the own connection and both listeners
    bool udpSeen = false;
    for (int i = tcp; i < agent.GetRecordCount(); ++i) {
        const ConnectionRecord& r = agent.records[static_cast<size_t>(i)];
        EXPECT_STREQ(r.protocol, "UDP");
        udpSeen |= std::strcmp(r.localAddress, "127.0.0.3") == 0 && r.localPort == udpPort;
    }
    EXPECT_TRUE(udpSeen);

    own.client.reset();
    own.server.reset();
    listener.reset();
    ExpectBothEndsDisconnected(run, connects, disconnects);
}

TEST(MonitorEndToEnd, Ipv6ConnectionIsLoggedAndNamesItsProgram) {
    const std::string why = NamespaceUnavailableReason();
    if (!why.empty()) GTEST_SKIP() << why;
    TestNetns ns("e2e-v6");
    TestNetns::Inside inside(ns);

    // Interval 1 s, display everything, window shown, log kept, HTTP ignored, no
    // alarm, port numbers.
    const unsigned char settings[20] = {1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    LoggingProgram run(SettingsFile(settings));
    const std::regex startMark(R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2} - Start Log)");
    ASSERT_TRUE(run.WaitFor([&](const auto& lines) { return FindLine(lines, startMark) >= 0; })) << run.FailureNote();

    Fd listener = TcpListener("::1");
    Fd client = TcpConnect(LocalPort(listener.get()), "::1");
    Fd accepted = Accept(listener.get());
    ASSERT_GE(accepted.get(), 0);
    const std::string serverPort = std::to_string(LocalPort(listener.get()));
    const std::string clientPort = std::to_string(LocalPort(client.get()));
    const EndLines ends("::1", serverPort, clientPort);
    const auto& [connects, disconnects] = ends;
    EXPECT_TRUE(run.WaitFor([&](const auto& lines) {
        return FindLine(lines, connects[0]) >= 0 && FindLine(lines, connects[1]) >= 0;
    })) << run.FailureNote();

    {
        // The window over the real agent, in this process: the row of the test's own
        // socket names the test's program, and its PID in the tip.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        TestApp();
        TempDir work;
        ScopedWorkDir inWork(work.path());
        TestMonitorDlg dlg(false, [](MonitorOptions& o) {
            o.agentInit = nullptr;
            o.agentQuery = nullptr;  // the library beside the test, as beside the program
        });
        ASSERT_TRUE(dlg.Initialize());
        const std::string comm = ReadWholeFile("/proc/self/comm");
        const QString program = QString::fromStdString(comm.substr(0, comm.find('\n')));
        CListCtrl& list = dlg.ConnectionList();
        int found = 0;
        for (int row = 0; row < list.GetItemCount(); ++row) {
            if (list.GetItemText(row, 1) != QString::fromStdString("[::1]:" + clientPort)) continue;
            ++found;
            EXPECT_EQ(list.GetItemText(row, 0).toStdString(), "[::1]:" + serverPort);
            EXPECT_EQ(list.GetItemText(row, PROGRAM_COLUMN), program);
            EXPECT_EQ(list.model()->index(row, PROGRAM_COLUMN).data(Qt::ToolTipRole).toString(),
                      QStringLiteral("PID %1").arg(getpid()));
        }
        EXPECT_EQ(found, 1);
        dlg.OnExit();
    }

    client.reset();
    accepted.reset();
    ExpectBothEndsDisconnected(run, connects, disconnects);
}

namespace {

// Reads both exports back with Python's own csv and json modules and formats every
// record back into its log line; the lines must come out byte for byte.
constexpr const char* kReadBack = R"PY(
import csv, datetime, json, sys
log_path, csv_path, jsonl_path, server_port = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
log = open(log_path, 'rb').read()
lines = log.decode('utf-8').split('\n')
assert lines[-1] == '', 'the log ends with a line feed'
lines = lines[:-1]
raw = open(csv_path, 'rb').read()
assert raw.startswith(b'\xef\xbb\xbf'), 'byte-order mark'
with open(csv_path, newline='', encoding='utf-8-sig') as f:
    rows = list(csv.DictReader(f))
jsonl = open(jsonl_path, 'rb').read().decode('utf-8')
assert jsonl.endswith('\n')
objs = [json.loads(l) for l in jsonl.split('\n')[:-1]]
assert len(rows) == len(objs) == len(lines), (len(rows), len(objs), len(lines))
words = {'connect': '<+++연결+++>', 'disconnect': '<---단절--->'}
marks = {'log start': 'Start Log', 'log end': 'End Log'}
def back(r):
    t = datetime.datetime.fromisoformat(r['time'])
    # the offset is the one the local zone has at that moment
    assert t.astimezone().utcoffset() == t.utcoffset(), r['time']
    clock = '%02d:%02d:%02d' % (t.hour, t.minute, t.second)
    if r['event'] in marks:
        return '%d.%02d.%02d %s - %s' % (t.year, t.month, t.day, clock, marks[r['event']])
    return '%d년 %d월 %d일 %s - %s %s : %s - %s' % (t.year, t.month, t.day, clock, words[r['event']],
                                                  r['remote_address'], r['remote_service'], r['local_service'])
names = {'Tolvara': 44444, 'tvtest': server_port}
for line, row, obj in zip(lines, rows, objs):
    assert back(row) == line, (back(row), line)
    assert back(obj) == line, (back(obj), line)
    for key, value in obj.items():
        assert row[key] == ('' if value is None else str(value)), (key, row, obj)
    for side in ('remote', 'local'):
        name = obj[side + '_service']
        port = None if name is None else int(name) if name.isdigit() else names[name]
        assert obj[side + '_port'] == port, (side, obj)
rebuilt = ''.join(back(o) + '\n' for o in objs).encode('utf-8')
assert rebuilt == log
print(len(lines), 'lines')
)PY";

}  // namespace

TEST(MonitorEndToEnd, ExportedLogReadsBackIntoTheSameLines) {
    const std::string why = NamespaceUnavailableReason();
    if (!why.empty()) GTEST_SKIP() << why;
    TestNetns ns("e2e-export");
    TestNetns::Inside inside(ns);
    // A zone east of UTC for the program, the export and the reader alike, so that every
    // time must carry its offset.
    ::setenv("TZ", "KST-9", 1);

    // The server's port has a name of the folder's own services file.
    Fd listener = TcpListener("127.0.0.1");
    const int serverPort = LocalPort(listener.get());
    // Interval 1 s, display everything, window shown, log kept, HTTP ignored, no
    // alarm, port names shown.
    const unsigned char settings[20] = {1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    LoggingProgram run(SettingsFile(settings), "tvtest " + std::to_string(serverPort) + "/tcp\n");
    const std::regex startMark(R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2} - Start Log)");
    ASSERT_TRUE(run.WaitFor([&](const auto& lines) { return FindLine(lines, startMark) >= 0; })) << run.FailureNote();

    Connection c = ConnectWithin(listener.get(), "127.0.0.1");
    ASSERT_GE(c.server.get(), 0);
    const std::string stamp = R"(\d{4}년 \d{1,2}월 \d{1,2}일 \d{2}:\d{2}:\d{2} - )";
    const std::regex named(stamp + R"(<\+\+\+연결\+\+\+> 127\.0\.0\.1 : (tvtest - \S+|\S+ - tvtest))");
    const std::regex gone(stamp + R"(<---단절---> 127\.0\.0\.1 : (tvtest - \S+|\S+ - tvtest))");
    ASSERT_TRUE(run.WaitFor([&](const auto& lines) { return FindLine(lines, named) >= 0; })) << run.FailureNote();
    c.client.reset();
    c.server.reset();
    ASSERT_TRUE(run.WaitFor([&](const auto& lines) { return FindLine(lines, gone) >= 0; })) << run.FailureNote();
    run.process().Stop();  // SIGTERM: the end mark
    const std::string log = run.ReadLog();
    ASSERT_NE(log.find(" - End Log\n"), std::string::npos) << log;
    WriteWholeFile(run.work().file("all.log"), log);

    for (const char* output : {"history.csv", "history.jsonl"}) {
        std::vector<std::string> argv = {std::string(TOLVARA_BIN_DIR) + "/tolvara", "--export-log", output};
        if (std::string(output).ends_with(".csv")) argv.push_back("--bom");
        ChildProcess exporter(argv, run.work().path(), run.work().file("export.out"));
        const auto status = exporter.WaitExit(std::chrono::seconds(20));
        ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << ReadWholeFile(run.work().file("export.out"));
    }
    EXPECT_EQ(ReadWholeFile(run.work().file("export.out")), "");  // no line left out

    ChildProcess python({"python3", "-c", kReadBack, run.work().file("all.log"), run.work().file("history.csv"),
                         run.work().file("history.jsonl"), std::to_string(serverPort)},
                        run.work().path(), run.work().file("python.out"));
    const auto status = python.WaitExit(std::chrono::seconds(30));
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
        << ReadWholeFile(run.work().file("python.out")) << "\nlog:\n" << log;
}
