// The real program under connection churn: 200 loopback connections a second for 60 s
// (other figures: bench_churn [per-second [seconds [drain-seconds [hidden] [alarm]]]]), each living a random
// time between 50 ms and 4 s and closed normally, so TIME_WAIT rows pile up as on a
// busy machine. The program refreshes every second and keeps its log. Afterwards each
// connection that lived across two ticks (longer than two refresh periods and a
// margin) must have a connect and a disconnect line for its accepted end; prints the
// counts and the connections that lack a line.
//
// Runs in a network namespace of its own (needs root), so the tables hold only what
// it opens, and the program is started inside it.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <queue>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"

extern char** environ;

namespace {

using bench::Clock;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string LogName(std::time_t when) {
    std::tm t{};
    localtime_r(&when, &t);
    char name[64];
    std::snprintf(name, sizeof name, "%d%02d%02d_tolvara.log", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    return name;
}

struct Conn {
    int client = -1, server = -1;
    uint16_t clientPort = 0;
    double opened = 0, closed = 0;  // seconds since the churn began
};

}  // namespace

int main(int argc, char** argv) {
    const int perSecond = argc > 1 ? std::atoi(argv[1]) : 200;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
    const double drain = argc > 3 ? std::atof(argv[3]) : 3.0;
    constexpr double kPeriod = 1.0;  // the refresh interval the program is given
    bench::PrivateNamespace ns("tv-bench-churn-");
    if (!ns.ok()) {
        std::fprintf(stderr, "cannot make a network namespace (needs root)\n");
        return 1;
    }
    char dirTemplate[] = "/tmp/tv-bench-churn-XXXXXX";
    const std::string work = mkdtemp(dirTemplate) ? dirTemplate : "";
    if (work.empty()) return 1;
    // Interval 1 s, everything shown, window shown, log kept, no service ignored, no
    // alarm, port numbers.
    unsigned char settings[20] = {1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    bool alarm = false;
    for (int i = 4; i < argc; ++i) {
        if (std::string(argv[i]) == "hidden") settings[8] = 0;  // starts in the tray
        if (std::string(argv[i]) == "alarm") settings[14] = 1, alarm = true;  // a box per connect
    }
    std::ofstream(work + "/TVENV.INI", std::ios::binary).write(reinterpret_cast<const char*>(settings), 20);

    const std::string bin = bench::BinDirectory();
    const pid_t program = fork();
    if (program == 0) {
        if (chdir(work.c_str()) != 0) _exit(126);
        const int out = open("tolvara.out", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        const std::string exe = bin + "/tolvara";
        execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::fprintf(stderr, "program pid %d\n", static_cast<int>(program));
    const std::time_t day = std::time(nullptr);
    auto readLog = [&] { return ReadFile(work + "/" + LogName(day)) + ReadFile(work + "/" + LogName(day + 86400)); };
    for (int i = 0; i < 100 && readLog().find("Start Log") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (readLog().find("Start Log") == std::string::npos) {
        std::fprintf(stderr, "the program did not start; its output is in %s/tolvara.out\n", work.c_str());
        kill(program, SIGKILL);
        return 1;
    }

    // Resident memory of the program, in kB: with the alarm on, every connect wants a
    // box, and only a bounded number may ever wait.
    auto residentKb = [&] {
        std::istringstream status(ReadFile("/proc/" + std::to_string(program) + "/status"));
        for (std::string l; std::getline(status, l);)
            if (l.rfind("VmRSS:", 0) == 0) return std::atol(l.c_str() + 6);
        return 0L;
    };
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long residentAtStart = residentKb();

    const int listener = bench::LoopbackListener(4096);
    const uint16_t serverPort = bench::LocalPort(listener);

    std::mt19937 rng(12);
    std::uniform_real_distribution<double> lifetime(0.05, 4.0);
    std::vector<Conn> conns;
    conns.reserve(static_cast<size_t>(perSecond * seconds));
    using Due = std::pair<double, size_t>;
    std::priority_queue<Due, std::vector<Due>, std::greater<Due>> closing;
    const auto start = Clock::now();
    auto now = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    auto closeDue = [&](double until) {
        while (!closing.empty() && closing.top().first <= until) {
            Conn& c = conns[closing.top().second];
            closing.pop();
            close(c.client);  // the client closes first and keeps the TIME_WAIT row
            close(c.server);
            c.closed = now();
        }
    };
    const long total = static_cast<long>(perSecond) * seconds;
    // Once the table is as full as the churn makes it (TIME_WAIT rows live 60 s), memory
    // should stay where it is; sampled every 30 s.
    std::vector<long> residentDuring;
    for (long n = 0; n < total; ++n) {
        const double at = static_cast<double>(n) / perSecond;
        if (n % (30L * perSecond) == 0 && n > 0) residentDuring.push_back(residentKb());
        while (now() < at) {
            closeDue(now());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        closeDue(now());
        Conn c;
        if (!bench::ConnectPair(listener, c.client, c.server)) {
            std::perror("connect");
            break;
        }
        c.clientPort = bench::LocalPort(c.client);
        c.opened = now();
        conns.push_back(c);
        closing.push({c.opened + lifetime(rng), conns.size() - 1});
    }
    while (!closing.empty()) {
        closeDue(now());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The last disconnects; how long the log goes on growing tells how far the
    // program lagged behind the churn.
    const double lastClose = now();
    double lastGrowth = lastClose;
    for (size_t size = readLog().size(); now() < lastClose + drain;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const size_t grown = readLog().size();
        if (grown != size) lastGrowth = now();
        size = grown;
    }
    std::printf("the log grew until %.1f s after the last close\n", lastGrowth - lastClose);
    std::printf("resident memory %ld kB after start,", residentAtStart);
    for (size_t i = 0; i < residentDuring.size(); ++i) std::printf(" %ld kB at %zu s,", residentDuring[i], 30 * (i + 1));
    std::printf(" %ld kB after the churn%s\n", residentKb(), alarm ? " (alarm on, its first box never closed)" : "");

    // The program's processor time over the whole run: how much of a core it needed.
    {
        std::istringstream stat(ReadFile("/proc/" + std::to_string(program) + "/stat"));
        std::string field;
        std::vector<std::string> fields;
        while (stat >> field) fields.push_back(field);
        if (fields.size() > 15) {
            const double cpu = (std::stod(fields[13]) + std::stod(fields[14])) / static_cast<double>(sysconf(_SC_CLK_TCK));
            std::printf("the program used %.1f s of processor time in %.1f s (%.0f %% of one core)\n", cpu, now(),
                        100 * cpu / now());
        }
    }
    kill(program, SIGTERM);
    waitpid(program, nullptr, 0);
    close(listener);

    // The accepted end's rows: remote 127.0.0.1 at the client's port, local the
    // listener's port; one remote end per connection at a time.
    const std::string log = readLog();
    const std::regex line(R"(<(\+\+\+연결\+\+\+|---단절---)> 127\.0\.0\.1 : (\d+) - (\d+))");
    std::map<int, int> connects, disconnects;
    long lines = 0;
    std::istringstream in(log);
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (!std::regex_search(l, m, line)) continue;
        ++lines;
        if (std::stoi(m[3]) != serverPort) continue;  // the connecting end's rows
        (m[1].str()[0] == '+' ? connects : disconnects)[std::stoi(m[2])]++;
    }
    const double margin = 0.5;
    std::map<int, int> must;
    long mustCount = 0;
    for (const Conn& c : conns) {
        if (c.closed - c.opened > 2 * kPeriod + margin) {
            ++must[c.clientPort];
            ++mustCount;
        }
    }
    long missing = 0;
    for (const auto& [port, count] : must) {
        if (connects[port] < count || disconnects[port] < count) {
            if (++missing <= 10)
                std::printf("missing: client port %d, %d connection(s) across two ticks, %d connect and %d "
                            "disconnect line(s)\n",
                            port, count, connects[port], disconnects[port]);
        }
    }
    long unbalanced = 0;
    for (const auto& [port, count] : connects) unbalanced += count != disconnects[port];
    std::printf("%zu connections in %d s (%d/s); %ld lines in the log\n", conns.size(), seconds, perSecond, lines);
    std::printf("%ld lived across two ticks: %ld of them without both lines\n", mustCount, missing);
    std::printf("client ports whose connect and disconnect lines differ in number: %ld\n", unbalanced);
    if (missing != 0 || unbalanced != 0) {
        std::printf("the log is kept in %s\n", work.c_str());
        return 2;
    }
    bench::Shell("rm -rf '" + work + "'");
    return 0;
}
