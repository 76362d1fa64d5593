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

#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
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

using bench::Clock;
using bench::Median;
using bench::Micros;

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
    bench::PrivateNamespace ns("tv-bench-refresh-");
    if (!ns.ok()) std::fprintf(stderr, "no namespace of our own (needs root): using the host's loopback\n");
    bench::RaiseFileLimit(2 * bench::LoopbackSockets::kHeldPairs + 1024);  // a holder's pairs and what it inherits
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    // The main window's connection list: its columns, image list and size.
    QTreeWidget tree;
    CImageList images;
    images.Create(LoadBitmapResource(IDB_CONN_IMAGES), 16, 1, Qt::white);
    const std::string bin = bench::BinDirectory();
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
    // Two listeners, as one would run out of source ports at 50,000 sockets; pairs
    // beyond the first few thousand held by child processes.
    bench::LoopbackSockets sockets(2, 2000);
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
            bench::PlainDump(IPPROTO_TCP);
            bench::PlainDump(IPPROTO_UDP);
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
