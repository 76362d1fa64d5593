// One refresh of the connection monitor, as the main window runs it (table read,
// change test, and, when the table changed, the connection list brought up to date and
// the tracker's pass), at 1,000, 10,000 and 50,000 loopback TCP sockets. Each round
// takes one plain netlink dump of the IPv4 TCP and UDP tables, one refresh that finds
// the table unchanged and, after a few connections are replaced, one that finds it
// changed, in turn, so a change in the machine's load falls on all three alike.
// Prints medians, each refresh as a ratio to the dump (with the spread of the rounds'
// own ratios, a measure of the noise), the heap allocations of one unchanged table
// read per row, and the largest gap of the window thread during a changed tick: the
// longest time between two turns of its event loop, layout and painting of the list
// included. `bench_refresh ROUNDS` sets the number of rounds (15).
//
// Runs in a network namespace of its own (root), so the tables hold exactly the
// sockets it opens; without one it says so and uses the host's loopback.
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QTreeView>

#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/CountingAllocator.h"
#include "monitor/CConnectionTracker.h"
#include "monitor/CNetTableAgent.h"
#include "monitor/ConnectionList.h"
#include "monitor/ConnectionListUi.h"
#include "platform/ListViewUi.h"
#include "ports/CPortNameTable.h"
#include "res/BitmapsUi.h"
#include "res/Resource.h"

namespace {

constexpr int kRounds = 15;
constexpr int kPairsChanged = 2;  // closed and as many opened before a changed refresh: 8 rows

using bench::Clock;
using bench::Median;
using bench::Micros;

// The monitor's part of the main window, refreshed the way RefreshConnections does.
struct Monitor {
    CNetTableAgent agent;
    CConnectionTracker tracker;
    CPortNameTable portNames{"/nonexistent/services", SYSTEM_SERVICES_FILE};
    CImageList images;
    QTreeView view;
    ConnectionListModel* model;
    size_t events = 0;
    // Step times of the last refresh, microseconds, and whether it found a change.
    double read = 0, change = 0, rows = 0, track = 0;
    bool changed = false;

    explicit Monitor(const std::string& library)
        : agent(library), model(new ConnectionListModel(portNames, images, &view)) {
        tracker.SetOwner(WindowRef::Create([this](PostedMessage&&) { ++events; }));
        portNames.SetShowNames(1);
        // As the dialog makes the list's view.
        view.setRootIsDecorated(false);
        view.setItemsExpandable(false);
        view.setUniformRowHeights(true);
        view.setModel(model);
    }

    bool Refresh() {
        const auto t0 = Clock::now();
        if (agent.ReadTables() != 0) return false;
        const auto t1 = Clock::now();
        const int count = agent.GetRecordCount();
        const ConnectionRecord* now = agent.records.data();
        const std::vector<ConnectionRecord>& displayed = model->Table();
        const int shown = static_cast<int>(displayed.size());
        changed = TableChanged(count, now, shown, displayed.data());
        const auto t2 = Clock::now();
        auto t3 = t2, t4 = t2;
        if (changed) {
            const std::vector<RowChange> changes = DiffConnectionRecords(shown, displayed.data(), count, now);
            model->ApplyTableChanges(shown, displayed.data(), count, now, changes, 0);
            t3 = Clock::now();
            tracker.Update(count, displayed.data(), changes);
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

// The figure below which the given share of figures lie.
double Percentile(std::vector<double> figures, double share) {
    if (figures.empty()) return 0;
    std::sort(figures.begin(), figures.end());
    return figures[static_cast<size_t>(share * static_cast<double>(figures.size() - 1) + 0.5)];
}

// Heap allocations of one table read, per row read.
double AllocationsPerRow(CNetTableAgent& agent) {
    const size_t before = bench::AllocationCount();
    agent.ReadTables();
    const size_t made = bench::AllocationCount() - before;
    return agent.GetRecordCount() > 0 ? static_cast<double>(made) / agent.GetRecordCount() : 0;
}

}  // namespace

int main(int argc, char** argv) {
    bench::PrivateNamespace ns("tv-bench-refresh-");
    if (!ns.ok()) std::fprintf(stderr, "no namespace of our own (needs root): using the host's loopback\n");
    bench::RaiseFileLimit(2 * bench::LoopbackSockets::kHeldPairs + 1024);  // a holder's pairs and what it inherits
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    // The main window's connection list: its columns, image list and size.
    const std::string bin = bench::BinDirectory();
    Monitor m(bin + "/libinetmib1.so");
    m.images.Create(LoadBitmapResource(IDB_CONN_IMAGES), 16, 1, Qt::white);
    CListCtrl list(&m.view);
    list.SetExtendedStyle(LVS_EX_FULLROWSELECT);
    list.SetImageList(&m.images);
    list.InsertColumn(0, QStringLiteral("상대방 주소"), 170);
    list.InsertColumn(1, QStringLiteral("자기 주소"), 170);
    list.InsertColumn(2, QStringLiteral("Proto"), 45);
    list.InsertColumn(3, QStringLiteral("상 태"), 90);
    list.InsertColumn(4, QStringLiteral("프로그램"), 90);
    m.view.resize(634, 345);
    m.view.show();
    if (!m.agent.Initialize()) {
        std::fprintf(stderr, "cannot load the agent library from %s\n", bin.c_str());
        return 1;
    }

    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : kRounds;
    std::printf("median of %d rounds of a dump, an unchanged and a changed refresh, %d connections replaced before "
                "each changed one; microseconds; ratio: refresh / dump, with the 10th to 90th percentile of the "
                "rounds' own ratios; read to tracker: the changed refresh's steps; allocs: per row of a read\n",
                rounds, kPairsChanged);
    std::printf("%7s %7s %7s %8s %8s %17s %17s %7s %7s %7s %7s %6s %7s %7s %7s %8s %8s\n", "sockets", "rows", "dump",
                "unchgd", "changed", "unchanged ratio", "changed ratio", "read", "change", "list", "tracker",
                "allocs", "events", "gap", "max-gap", "fill", "fill-gap");
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
        ok = ok && m.Refresh() && !m.changed;                // warm: the snapshot as it stands
        const double allocations = AllocationsPerRow(m.agent);
        std::vector<double> dump, unchanged, changed, unchangedRatio, changedRatio, read, change, rows, track, gaps;
        size_t events = 0;
        int missed = 0;  // refreshes that did not see what the round made of the table
        for (int round = 0; round < rounds && ok; ++round) {
            const auto d = Clock::now();
            bench::PlainDump(IPPROTO_TCP);
            bench::PlainDump(IPPROTO_UDP);
            dump.push_back(Micros(d, Clock::now()));

            const auto u = Clock::now();
            ok = m.Refresh();
            unchanged.push_back(Micros(u, Clock::now()));
            missed += m.changed ? 1 : 0;

            if (!sockets.Churn(kPairsChanged)) {
                std::fprintf(stderr, "cannot replace connections\n");
                return 1;
            }
            const size_t before = m.events;
            double gap = 0;
            changed.push_back(TickWithProbe(m, gap, ok));
            missed += m.changed ? 0 : 1;
            gaps.push_back(gap);
            read.push_back(m.read);
            change.push_back(m.change);
            rows.push_back(m.rows);
            track.push_back(m.track);
            events = m.events - before;
            unchangedRatio.push_back(unchanged.back() / dump.back());
            changedRatio.push_back(changed.back() / dump.back());
        }
        if (!ok) {
            std::fprintf(stderr, "ReadTables failed: %s\n", m.agent.errorText);
            return 1;
        }
        if (missed > 0) std::fprintf(stderr, "%d refreshes saw a change where there was none or missed one\n", missed);
        char unchangedText[32], changedText[32];
        std::snprintf(unchangedText, sizeof unchangedText, "%.2f (%.2f-%.2f)", Median(unchanged) / Median(dump),
                      Percentile(unchangedRatio, 0.1), Percentile(unchangedRatio, 0.9));
        std::snprintf(changedText, sizeof changedText, "%.2f (%.2f-%.2f)", Median(changed) / Median(dump),
                      Percentile(changedRatio, 0.1), Percentile(changedRatio, 0.9));
        std::printf("%7zu %7d %7.0f %8.0f %8.0f %17s %17s %7.0f %7.0f %7.0f %7.0f %6.2f %7zu %7.0f %7.0f %8.0f %8.0f\n",
                    sockets.size(), m.agent.GetRecordCount(), Median(dump), Median(unchanged), Median(changed),
                    unchangedText, changedText, Median(read), Median(change), Median(rows), Median(track),
                    allocations, events, Median(gaps), *std::max_element(gaps.begin(), gaps.end()), fill, fillGap);
        std::fflush(stdout);
    }
    return 0;
}
