// The real program under connection churn: 200 loopback connections a second for 60 s
// over 1,000 rows held open (other figures: bench_churn [per-second [seconds
// [drain-seconds [hidden] [alarm] [held=ROWS]]]]), each living a random time between
// 50 ms and 4 s and closed normally, so TIME_WAIT rows pile up as on a busy machine.
// The program refreshes every second and keeps its log. Afterwards each connection
// that lived across two ticks (longer than two refresh periods and a margin) must
// have a connect and a disconnect line for its accepted end; prints the counts and
// the connections that lack a line.
//
// bench_churn startup [sockets [interval]] instead starts the program over that many
// loopback sockets (50,000 by default) refreshing every interval seconds (1 by
// default; a long one leaves the announcement alone) and tells how long it takes to
// announce every connection, the processor time and resident memory that took, and
// what a tick costs and the program holds once the table stays as it is.
//
// Runs in a network namespace of its own (needs root), so the tables hold only what
// it opens, and the program is started inside it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

namespace {

using bench::Clock;

constexpr double kPeriod = 1.0;  // the refresh interval the program is given

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

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// The program, started in a folder of its own with these settings.
class Program {
public:
    explicit Program(const unsigned char (&settings)[20]) : day_(std::time(nullptr)) {
        char dirTemplate[] = "/tmp/tv-bench-churn-XXXXXX";
        work_ = mkdtemp(dirTemplate) ? dirTemplate : "";
        if (work_.empty()) return;
        std::ofstream(work_ + "/TVENV.INI", std::ios::binary).write(reinterpret_cast<const char*>(settings), 20);
        const std::string bin = bench::BinDirectory();
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(work_.c_str()) != 0) _exit(126);
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
        std::fprintf(stderr, "program pid %d\n", static_cast<int>(pid_));
    }
    ~Program() { Stop(); }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Whether it wrote its log's start mark within a minute (under a memory profiler
    // it takes a while).
    bool Started() {
        for (int i = 0; i < 600 && pid_ > 0; ++i) {
            if (Log().find("Start Log") != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        std::fprintf(stderr, "the program did not start; its output is in %s/tolvara.out\n", work_.c_str());
        return false;
    }
    std::string Log() const {
        return ReadFile(work_ + "/" + LogName(day_)) + ReadFile(work_ + "/" + LogName(day_ + 86400));
    }
    // Resident memory, kB.
    long ResidentKb() const {
        std::istringstream status(ReadFile("/proc/" + std::to_string(pid_) + "/status"));
        for (std::string l; std::getline(status, l);)
            if (l.rfind("VmRSS:", 0) == 0) return std::atol(l.c_str() + 6);
        return 0;
    }
    // Processor time used so far, seconds.
    double CpuSeconds() const {
        std::istringstream stat(ReadFile("/proc/" + std::to_string(pid_) + "/stat"));
        std::vector<std::string> fields;
        for (std::string field; stat >> field;) fields.push_back(field);
        if (fields.size() <= 15) return 0;
        return (std::stod(fields[13]) + std::stod(fields[14])) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    const std::string& Folder() const { return work_; }
    void Remove() { bench::Shell("rm -rf '" + work_ + "'"); }

private:
    std::time_t day_;
    std::string work_;
    pid_t pid_ = -1;
};

struct Conn {
    int client = -1, server = -1;
    uint16_t clientPort = 0;
    double opened = 0, closed = 0;  // seconds since the churn began
};

// Connected pairs from 127.0.0.2 to a listener of their own, reset when dropped.
class HeldPairs {
public:
    explicit HeldPairs(size_t pairs) : listener_(bench::LoopbackListener(1024)) {
        sockaddr_in to = bench::LoopbackAddress(bench::LocalPort(listener_));
        sockaddr_in from = bench::LoopbackAddress(0);
        from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1);
        for (size_t i = 0; i < pairs && listener_ >= 0; ++i) {
            const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (c < 0) break;
            fds_.push_back(c);
            if (bind(c, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
                connect(c, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
                break;
            const int a = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (a < 0) break;
            fds_.push_back(a);
        }
        ok_ = fds_.size() == 2 * pairs;
    }
    ~HeldPairs() {
        for (int fd : fds_) bench::CloseWithReset(fd);
        if (listener_ >= 0) close(listener_);
    }
    HeldPairs(const HeldPairs&) = delete;
    HeldPairs& operator=(const HeldPairs&) = delete;
    bool ok() const { return ok_; }
    size_t size() const { return fds_.size() / 2; }

private:
    int listener_;
    std::vector<int> fds_;
    bool ok_ = false;
};

// Interval 1 s, everything shown, window shown, log kept, no service ignored, no
// alarm, port numbers.
void BenchSettings(unsigned char (&settings)[20]) {
    const unsigned char s[20] = {1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::memcpy(settings, s, sizeof s);
}

int Startup(size_t sockets, int interval) {
    bench::RaiseFileLimit(2 * bench::LoopbackSockets::kHeldPairs + 1024);  // a holder's pairs and what it inherits
    // Two listeners, as one would run out of source ports at 50,000 sockets.
    bench::LoopbackSockets held(2, 2000);
    if (!held.GrowTo(sockets)) {
        std::fprintf(stderr, "could only open %zu sockets\n", held.size());
        return 1;
    }
    const size_t established = held.size() - 2;  // both ends of every pair
    unsigned char settings[20];
    BenchSettings(settings);
    settings[0] = static_cast<unsigned char>(std::clamp(interval, 1, 255));
    const auto start = Clock::now();
    auto since = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    Program program(settings);
    if (!program.Started()) return 1;
    const double started = since();
    size_t announced = 0;
    double firstLine = 0, lastLine = since();
    while (announced < established && since() < lastLine + 30) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const size_t now = Count(program.Log(), "<+++연결+++>");
        if (now != announced) lastLine = since();
        if (announced == 0 && now > 0) firstLine = since();
        announced = now;
    }
    const double cpu = program.CpuSeconds();
    const long resident = program.ResidentKb();
    std::printf("%zu sockets: the log started %.1f s after start, its first line came at %.1f s; %zu of %zu "
                "connections announced %.1f s after start, using %.1f s of processor time; resident memory "
                "then %ld kB\n",
                held.size(), started, firstLine, announced, established, lastLine, cpu, resident);
    // The table stays: what a tick costs now, and what is held.
    constexpr int kQuiet = 10;
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double quietFrom = program.CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(kQuiet));
    std::printf("then %.1f ms of processor time a second over %d s (a tick every %d s); resident memory %ld kB\n",
                1000 * (program.CpuSeconds() - quietFrom) / kQuiet, kQuiet, settings[0], program.ResidentKb());
    program.Stop();
    if (announced < established) {
        std::printf("the log is kept in %s\n", program.Folder().c_str());
        return 2;
    }
    program.Remove();
    return 0;
}

int Churn(int argc, char** argv) {
    const int perSecond = argc > 1 ? std::atoi(argv[1]) : 200;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
    const double drain = argc > 3 ? std::atof(argv[3]) : 3.0;
    unsigned char settings[20];
    BenchSettings(settings);
    bool alarm = false;
    size_t heldRows = 1000;
    for (int i = 4; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "hidden") settings[8] = 0;  // starts in the tray
        if (arg == "alarm") settings[14] = 1, alarm = true;  // a box per connect
        if (arg.rfind("held=", 0) == 0) heldRows = std::strtoul(arg.c_str() + 5, nullptr, 10);
    }

    // Rows that stay through the churn, announced at start: connections to a listener
    // of their own from 127.0.0.2, whose ports then never name the remote end of a
    // churned connection (the tracker goes by remote ends alone).
    HeldPairs held(heldRows / 2);
    if (!held.ok()) {
        std::perror("holding connections");
        return 1;
    }
    Program program(settings);
    if (!program.Started()) return 1;

    // Resident memory of the program, in kB: with the alarm on, every connect wants a
    // box, and only a bounded number may ever wait.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long residentAtStart = program.ResidentKb();
    const double cpuAtStart = program.CpuSeconds();

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
        if (n % (30L * perSecond) == 0 && n > 0) residentDuring.push_back(program.ResidentKb());
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
    for (size_t size = program.Log().size(); now() < lastClose + drain;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const size_t grown = program.Log().size();
        if (grown != size) lastGrowth = now();
        size = grown;
    }
    std::printf("the log grew until %.1f s after the last close\n", lastGrowth - lastClose);
    std::printf("resident memory %ld kB after start,", residentAtStart);
    for (size_t i = 0; i < residentDuring.size(); ++i) std::printf(" %ld kB at %zu s,", residentDuring[i], 30 * (i + 1));
    std::printf(" %ld kB after the churn%s\n", program.ResidentKb(),
                alarm ? " (alarm on, its first box never closed)" : "");
    // How much of a core the program needed from the churn's start on.
    const double cpu = program.CpuSeconds() - cpuAtStart;
    std::printf("the program used %.1f s of processor time in %.1f s (%.1f %% of one core)\n", cpu, now(),
                100 * cpu / now());
    program.Stop();
    close(listener);

    // The accepted end's rows: remote 127.0.0.1 at the client's port, local the
    // listener's port; one remote end per connection at a time.
    const std::string log = program.Log();
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
    std::printf("%zu connections in %d s (%d/s) over %zu held rows; %ld lines in the log\n", conns.size(), seconds,
                perSecond, 2 * held.size(), lines);
    std::printf("%ld lived across two ticks: %ld of them without both lines\n", mustCount, missing);
    std::printf("client ports whose connect and disconnect lines differ in number: %ld\n", unbalanced);
    if (missing != 0 || unbalanced != 0) {
        std::printf("the log is kept in %s\n", program.Folder().c_str());
        return 2;
    }
    program.Remove();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bench::PrivateNamespace ns("tv-bench-churn-");
    if (!ns.ok()) {
        std::fprintf(stderr, "cannot make a network namespace (needs root)\n");
        return 1;
    }
    if (argc > 1 && std::string(argv[1]) == "startup")
        return Startup(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 50000, argc > 3 ? std::atoi(argv[3]) : 1);
    return Churn(argc, argv);
}
