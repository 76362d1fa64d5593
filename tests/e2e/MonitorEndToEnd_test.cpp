// The real program, offscreen, in an empty directory: a loopback TCP connection opened
// and closed by the test must show up as connect and disconnect lines in the day's log.
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

#include "ports/CPortNameTable.h"
#include "support/LoopbackSockets.h"
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
