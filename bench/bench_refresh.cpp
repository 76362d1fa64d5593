// One refresh of the connection monitor, as the main window runs it (table read,
// change test, connection list brought up to date, tracker pass), at 1,000, 10,000 and
// 50,000 loopback TCP sockets with a few rows changed before each refresh. Prints each
// step's median, the whole refresh as a ratio to one plain netlink dump of the IPv4
// TCP and UDP tables, and the largest gap of the window thread during a tick: the
// longest time between two turns of its event loop, layout and painting of the list
// included.
//
// Runs in a network namespace of its own (root), so the tables hold exactly the
// sockets it opens; without one it says so and uses the host's loopback.
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QTreeWidget>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "monitor/CConnectionTracker.h"
#include "monitor/CNetTableAgent.h"
#include "monitor/ConnectionList.h"
#include "monitor/ConnectionListUi.h"
#include "platform/ListViewUi.h"
#include "ports/CPortNameTable.h"
#include "res/BitmapsUi.h"
#include "res/Resource.h"

namespace {

constexpr int kRuns = 15;
constexpr int kPairsChanged = 2;  // closed and as many opened before each refresh: 8 rows

using Clock = std::chrono::steady_clock;

double Micros(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::micro>(b - a).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

int Shell(const std::string& command) {
    const int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Entered on the main thread before any other starts.
class PrivateNamespace {
public:
    PrivateNamespace() : name_("tv-bench-refresh-" + std::to_string(::getpid())) {
        ok_ = Shell("ip netns add " + name_) == 0 && Shell("ip netns exec " + name_ + " ip link set lo up") == 0;
        if (!ok_) return;
        const int fd = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        ok_ = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0) ::close(fd);
    }
    ~PrivateNamespace() { Shell("ip netns delete " + name_ + " 2>/dev/null"); }
    bool ok() const { return ok_; }

private:
    std::string name_;
    bool ok_ = false;
};

// One sock_diag dump of an IPv4 table, messages counted, nothing parsed.
size_t PlainDump(uint8_t protocol) {
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return 0;
    struct {
        nlmsghdr h;
        inet_diag_req_v2 r;
    } req{};
    req.h.nlmsg_len = sizeof req;
    req.h.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.r.sdiag_family = AF_INET;
    req.r.sdiag_protocol = protocol;
    req.r.idiag_states = 0x1FFE;
    send(fd, &req, sizeof req, 0);
    alignas(nlmsghdr) static char buf[64 * 1024];
    size_t count = 0;
    for (bool done = false; !done;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        int left = static_cast<int>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) done = true;
            else ++count;
        }
    }
    close(fd);
    return count;
}

sockaddr_in Address(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

void Abort(int fd) {
    linger abort{1, 0};  // a reset: no TIME_WAIT rows left behind
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(fd);
}

// Two listeners on 127.0.0.1 (one would run out of source ports at 50,000 sockets)
// and connected pairs, taken in turn. Pairs beyond the first few thousand are held by
// child processes, as a process may not be allowed that many descriptors; the
// changes before each refresh fall on the pairs held here.
class LoopbackSockets {
public:
    LoopbackSockets() {
        for (int& l : listeners_) {
            l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a = Address(0);
            bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a);
            listen(l, 1024);
        }
    }
    ~LoopbackSockets() {
        for (auto [c, s] : pairs_) {
            Abort(c);
            Abort(s);
        }
        for (Holder& h : holders_) {
            close(h.quit);  // the holder resets its sockets and ends
            waitpid(h.pid, nullptr, 0);
        }
        for (int l : listeners_) close(l);
    }
    size_t size() const { return 2 * (pairs_.size() + held_) + 2; }
    bool GrowTo(size_t total) {
        while (size() < total && pairs_.size() < kOwnPairs)
            if (!OpenPair()) return false;
        while (size() < total)
            if (!SpawnHolder(std::min(kHeldPairs, (total - size() + 1) / 2))) return false;
        return true;
    }
    // Closes the oldest pairs and opens as many new ones.
    bool Churn(int pairs) {
        for (int i = 0; i < pairs && !pairs_.empty(); ++i) {
            Abort(pairs_.front().first);
            Abort(pairs_.front().second);
            pairs_.erase(pairs_.begin());
        }
        for (int i = 0; i < pairs; ++i)
            if (!OpenPair()) return false;
        return true;
    }

private:
    static constexpr size_t kOwnPairs = 2000;
    static constexpr size_t kHeldPairs = 8000;
    struct Holder {
        pid_t pid;
        int quit;
    };

    bool SpawnHolder(size_t pairs) {
        int ready[2], quit[2];
        if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(quit, O_CLOEXEC) != 0) return false;
        const pid_t pid = fork();
        if (pid == 0) {
            close(ready[0]);
            close(quit[1]);
            // Copies of the parent's sockets would keep them open after it closes them.
            for (auto [c1, s1] : pairs_) {
                close(c1);
                close(s1);
            }
            pairs_.clear();
            for (const Holder& h : holders_) close(h.quit);
            char ok = 1;
            for (size_t i = 0; i < pairs && ok; ++i) ok = OpenPair() ? 1 : 0;
            if (write(ready[1], &ok, 1) != 1) _exit(1);
            char c;
            while (read(quit[0], &c, 1) > 0) {
            }
            for (auto [c1, s1] : pairs_) {
                Abort(c1);
                Abort(s1);
            }
            _exit(0);
        }
        close(ready[1]);
        close(quit[0]);
        char ok = 0;
        const bool started = pid > 0 && read(ready[0], &ok, 1) == 1 && ok == 1;
        close(ready[0]);
        if (pid > 0) holders_.push_back({pid, quit[1]});
        if (started) held_ += pairs;
        return started;
    }

    bool OpenPair() {
        const int l = listeners_[(pairs_.size() + held_) % 2];
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
        int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (c < 0 || connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            if (c >= 0) close(c);
            return false;
        }
        int s = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
        if (s < 0) {
            close(c);
            return false;
        }
        pairs_.emplace_back(c, s);
        return true;
    }
    int listeners_[2];
    std::vector<std::pair<int, int>> pairs_;
    size_t held_ = 0;
    std::vector<Holder> holders_;
};

void RaiseFileLimit(rlim_t wanted) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur >= wanted) return;
    lim.rlim_cur = wanted;
    if (lim.rlim_max < wanted) lim.rlim_max = wanted;  // root may raise the hard limit
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) {
        getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

// The monitor's part of the main window, refreshed the way RefreshConnections does.
struct Monitor {
    CNetTableAgent agent;
    std::vector<ConnectionRecord> displayed;
    int displayedCount = 0;
    CConnectionTracker tracker;
    CListCtrl list;
    std::vector<ConnectionRow> shownRows;
    CPortNameTable portNames{"/nonexistent/services", SYSTEM_SERVICES_FILE};
    size_t events = 0;
    // Step times of the last refresh, microseconds.
    double read = 0, change = 0, rows = 0, track = 0;

    explicit Monitor(const std::string& library) : agent(library) {
        tracker.SetOwner(WindowRef::Create([this](PostedMessage&&) { ++events; }));
        portNames.SetShowNames(1);
    }

    bool Refresh() {
        const auto t0 = Clock::now();
        if (agent.ReadTables() != 0) return false;
        const auto t1 = Clock::now();
        const int count = agent.GetRecordCount();
        const bool changed = TableChanged(count, agent.records.data(), displayedCount, displayed.data());
        const auto t2 = Clock::now();
        auto t3 = t2, t4 = t2;
        if (changed) {
            displayed.assign(agent.records.begin(), agent.records.begin() + count);
            displayedCount = count;
            UpdateConnectionList(list, shownRows, BuildConnectionRows(count, displayed.data(), 0, portNames));
            t3 = Clock::now();
            tracker.Update(count, displayed.data());
            t4 = Clock::now();
        }
        read = Micros(t0, t1);
        change = Micros(t1, t2);
        rows = Micros(t2, t3);
        track = Micros(t3, t4);
        return true;
    }
};

// Runs one refresh as a tick of the event loop while a 1 ms timer probes the loop;
// returns the refresh's own time and, through gap, the longest time between two
// probes from just before the tick until 150 ms after it (layout and painting).
double TickWithProbe(Monitor& m, double& gap, bool& ok) {
    std::vector<Clock::time_point> probes;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] { probes.push_back(Clock::now()); });
    probe.start(1);
    QEventLoop loop;
    double refresh = 0;
    QTimer::singleShot(20, [&] {
        const auto t = Clock::now();
        ok = m.Refresh();
        refresh = Micros(t, Clock::now());
        QTimer::singleShot(150, &loop, &QEventLoop::quit);
    });
    loop.exec();
    probe.stop();
    gap = 0;
    for (size_t i = 1; i < probes.size(); ++i) gap = std::max(gap, Micros(probes[i - 1], probes[i]));
    return refresh;
}

}  // namespace

int main(int argc, char** argv) {
    PrivateNamespace ns;
    if (!ns.ok()) std::fprintf(stderr, "no namespace of our own (needs root): using the host's loopback\n");
    RaiseFileLimit(2 * 8000 + 1024);  // a holder's pairs and what it inherits
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    // The main window's connection list: its columns, image list and size.
    QTreeWidget tree;
    CImageList images;
    images.Create(LoadBitmapResource(IDB_CONN_IMAGES), 16, 1, Qt::white);
    const std::string bin = DefaultAgentLibraryPath().substr(0, DefaultAgentLibraryPath().rfind('/'));
    Monitor m(bin + "/libinetmib1.so");
    m.list = CListCtrl(&tree);
    m.list.SetExtendedStyle(LVS_EX_FULLROWSELECT);
    m.list.SetImageList(&images);
    m.list.InsertColumn(0, QStringLiteral("상대방 주소"), 170);
    m.list.InsertColumn(1, QStringLiteral("자기 주소"), 170);
    m.list.InsertColumn(2, QStringLiteral("Proto"), 45);
    m.list.InsertColumn(3, QStringLiteral("상 태"), 90);
    tree.resize(544, 345);
    tree.show();
    if (!m.agent.Initialize()) {
        std::fprintf(stderr, "cannot load the agent library from %s\n", bin.c_str());
        return 1;
    }

    std::printf("median of %d refreshes, %d connections replaced before each; microseconds\n", kRuns,
                kPairsChanged);
    std::printf("%8s %8s %8s %8s %8s %8s %8s %8s %8s %7s %8s %8s %9s %9s\n", "sockets", "rows", "dump", "refresh",
                "read", "change", "list", "tracker", "events", "ratio", "gap", "max-gap", "fill", "fill-gap");
    LoopbackSockets sockets;
    for (size_t total : {1000u, 10000u, 50000u}) {
        if (!sockets.GrowTo(total)) {
            std::fprintf(stderr, "could only open %zu sockets\n", sockets.size());
            return 1;
        }
        bool ok = true;
        double fillGap = 0;
        const double fill = TickWithProbe(m, fillGap, ok);  // the new sockets come in at once
        std::vector<double> dump, refresh, read, change, rows, track, gaps;
        size_t events = 0;
        for (int run = 0; run < kRuns && ok; ++run) {
            if (!sockets.Churn(kPairsChanged)) {
                std::fprintf(stderr, "cannot replace connections\n");
                return 1;
            }
            const auto d = Clock::now();
            PlainDump(IPPROTO_TCP);
            PlainDump(IPPROTO_UDP);
            dump.push_back(Micros(d, Clock::now()));
            const size_t before = m.events;
            double gap = 0;
            refresh.push_back(TickWithProbe(m, gap, ok));
            gaps.push_back(gap);
            read.push_back(m.read);
            change.push_back(m.change);
            rows.push_back(m.rows);
            track.push_back(m.track);
            events = m.events - before;
        }
        if (!ok) {
            std::fprintf(stderr, "ReadTables failed: %s\n", m.agent.errorText);
            return 1;
        }
        std::printf("%8zu %8d %8.0f %8.0f %8.0f %8.0f %8.0f %8.0f %8zu %7.2f %8.0f %8.0f %9.0f %9.0f\n",
                    sockets.size(), m.agent.GetRecordCount(), Median(dump), Median(refresh), Median(read),
                    Median(change), Median(rows), Median(track), events, Median(refresh) / Median(dump), Median(gaps),
                    *std::max_element(gaps.begin(), gaps.end()), fill, fillGap);
    }
    return 0;
}
