// The real program, offscreen, in an empty directory: a loopback TCP connection opened
// and closed by the test must show up as connect and disconnect lines in the day's log,
// also behind more rows than a small table would hold.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "monitor/CNetTableAgent.h"
#include "ports/CPortNameTable.h"
#include "support/LoopbackSockets.h"
#include "support/NetNamespace.h"
#include "support/TestSupport.h"

extern char** environ;

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

class RunningTolvara {
public:
    RunningTolvara(const std::string& workDir, const std::string& outputPath) {
        const std::string exe = std::string(TOLVARA_BIN_DIR) + "/tolvara";
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0) env.emplace_back(*e);
        env.emplace_back("QT_QPA_PLATFORM=offscreen");
        std::vector<char*> envp;
        for (std::string& s : env) envp.push_back(s.data());
        envp.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            const int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out >= 0) {
                dup2(out, 1);
                dup2(out, 2);
            }
            if (::chdir(workDir.c_str()) != 0) _exit(126);
            char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
            execve(exe.c_str(), argv, envp.data());
            _exit(127);
        }
    }
    ~RunningTolvara() { Stop(); }

    bool Running() {
        if (pid_ <= 0) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        return true;
    }

    void Stop() {
        if (!Running()) return;
        kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < deadline) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

}  // namespace

TEST(MonitorEndToEnd, LoopbackConnectionIsLoggedOnConnectAndDisconnect) {
    TempDir work;
    TempDir scratch;
    // Interval 1 s, display everything, then the flags: window shown, log kept, HTTP
    // ignored, no alarm, port names shown.
    const unsigned char settings[20] = {1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    WriteWholeFile(work.file("TVENV.INI"), std::string(reinterpret_cast<const char*>(settings), sizeof settings));

    const std::time_t started = std::time(nullptr);
    const std::vector<std::string> logNames = {LogNameFor(started), LogNameFor(started + 86400)};
    auto readLog = [&] {
        std::string all;
        for (const std::string& name : logNames) all += ReadWholeFile(work.file(name));
        return all;
    };
    const std::string output = scratch.file("tolvara.out");
    RunningTolvara program(work.path(), output);
    auto failureNote = [&] { return "log:\n" + readLog() + "\nprogram output:\n" + ReadWholeFile(output); };

    // Waits until pred holds for the log's lines, up to 15 s.
    auto waitFor = [&](auto pred) {
        const auto deadline = Clock::now() + std::chrono::seconds(15);
        while (Clock::now() < deadline && program.Running()) {
            if (pred(SplitLines(readLog()))) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return pred(SplitLines(readLog()));
    };

    const std::regex startMark(R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2} - Start Log)");
    ASSERT_TRUE(waitFor([&](const auto& lines) { return FindLine(lines, startMark) >= 0; })) << failureNote();

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

    EXPECT_TRUE(waitFor([&](const auto& lines) {
        return FindLine(lines, clientConnect) >= 0 && FindLine(lines, serverConnect) >= 0;
    })) << failureNote();

    client.reset();
    accepted.reset();
    listener.reset();
    EXPECT_TRUE(waitFor([&](const auto& lines) {
        return FindLine(lines, clientDisconnect) >= 0 && FindLine(lines, serverDisconnect) >= 0;
    })) << failureNote();

    const std::string log = readLog();
    EXPECT_EQ(log.find('\r'), std::string::npos);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), '\n');
    const std::vector<std::string> lines = SplitLines(log);
    const int mark = FindLine(lines, startMark);
    EXPECT_EQ(mark, 0);
    EXPECT_LT(mark, FindLine(lines, clientConnect));
    EXPECT_LT(FindLine(lines, clientConnect), FindLine(lines, clientDisconnect));
    EXPECT_LT(FindLine(lines, serverConnect), FindLine(lines, serverDisconnect));

    EXPECT_TRUE(program.Running()) << failureNote();
    program.Stop();
    // The settings file is left as it was, and the log is the only file added.
    EXPECT_EQ(ReadWholeFile(work.file("TVENV.INI")),
              std::string(reinterpret_cast<const char*>(settings), sizeof settings));
    for (const auto& e : std::filesystem::directory_iterator(work.path())) {
        const std::string name = e.path().filename().string();
        EXPECT_TRUE(name == "TVENV.INI" || name == logNames[0] || name == logNames[1]) << name;
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

    TempDir work;
    TempDir scratch;
    // Interval 1 s, display everything, window shown, log kept, HTTP ignored, no
    // alarm, port numbers.
    const unsigned char settings[20] = {1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    WriteWholeFile(work.file("TVENV.INI"), std::string(reinterpret_cast<const char*>(settings), sizeof settings));
    const std::time_t started = std::time(nullptr);
    const std::vector<std::string> logNames = {LogNameFor(started), LogNameFor(started + 86400)};
    auto readLog = [&] {
        std::string all;
        for (const std::string& name : logNames) all += ReadWholeFile(work.file(name));
        return all;
    };
    const std::string output = scratch.file("tolvara.out");
    RunningTolvara program(work.path(), output);  // started inside the namespace
    auto failureNote = [&] { return "log:\n" + readLog() + "\nprogram output:\n" + ReadWholeFile(output); };
    auto waitFor = [&](auto pred) {
        const auto deadline = Clock::now() + std::chrono::seconds(15);
        while (Clock::now() < deadline && program.Running()) {
            if (pred(SplitLines(readLog()))) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return pred(SplitLines(readLog()));
    };

    const std::string stamp = R"(\d{4}년 \d{1,2}월 \d{1,2}일 \d{2}:\d{2}:\d{2} - )";
    const std::regex bulkConnect(stamp + R"(<\+\+\+연결\+\+\+> 127\.0\.0\.1 : \d+ - \d+)");
    // Every bulk connection is announced from both ends at the first pass.
    EXPECT_TRUE(waitFor([&](const auto& lines) { return CountMatches(lines, bulkConnect) == 120; }))
        << failureNote();

    Fd listener = TcpListener("127.0.0.2");
    Connection own = ConnectWithin(listener.get(), "127.0.0.2");
    ASSERT_GE(own.server.get(), 0);
    const std::string serverPort = std::to_string(LocalPort(listener.get()));
    const std::string clientPort = std::to_string(LocalPort(own.client.get()));
    auto line = [&](const char* word, const std::string& remote, const std::string& local) {
        return std::regex(stamp + word + " 127\\.0\\.0\\.2 : " + remote + " - " + local);
    };
    const std::regex connects[] = {line(R"(<\+\+\+연결\+\+\+>)", serverPort, clientPort),
                                   line(R"(<\+\+\+연결\+\+\+>)", clientPort, serverPort)};
    const std::regex disconnects[] = {line("<---단절--->", serverPort, clientPort),
                                      line("<---단절--->", clientPort, serverPort)};
    EXPECT_TRUE(waitFor([&](const auto& lines) {
        return FindLine(lines, connects[0]) >= 0 && FindLine(lines, connects[1]) >= 0;
    })) << failureNote();

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
    EXPECT_TRUE(waitFor([&](const auto& lines) {
        return FindLine(lines, disconnects[0]) >= 0 && FindLine(lines, disconnects[1]) >= 0;
    })) << failureNote();
    const std::vector<std::string> lines = SplitLines(readLog());
    for (int end = 0; end < 2; ++end) {
        EXPECT_EQ(CountMatches(lines, connects[end]), 1);
        EXPECT_LT(FindLine(lines, connects[end]), FindLine(lines, disconnects[end]));
    }
    EXPECT_TRUE(program.Running()) << failureNote();
}
