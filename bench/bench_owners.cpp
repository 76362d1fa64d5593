// The owning-process column at 10,000 loopback TCP sockets held by 500 processes.
//
// A refresh is one walk of tcpConnectionTable through the agent library, as the
// monitor makes it: GETNEXT of the state column alone ("state"), or of the state and
// process columns of a row together ("state+process"), from the table's name, so the
// agent reads the kernel anew each time; each round also takes one plain sock_diag
// dump of the IPv4 TCP table. Then the owner cache by itself: the
// first lookup of every socket (each process's descriptors read), a lookup where
// everything is known, and a lookup after one process opened a new connection.
// `bench_owners ROUNDS` sets the number of rounds (15).
//
// Runs in a network namespace of its own (root), so the table holds exactly the
// sockets it opens; without one it says so and uses the host's loopback.
#include "bench/BenchSupport.h"
#include "platform/SnmpTypes.h"
#include "platform/mib/KernelTables.h"
#include "platform/mib/SocketOwners.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kProcesses = 500;
constexpr int kPairsEach = 10;  // 20 sockets a process
constexpr int kRounds = 15;

// Children holding the pairs, each until the pipe closes.
class Holders {
public:
    Holders(const std::vector<std::pair<int, int>>& pairs, int processes) {
        int quit[2];
        if (pipe(quit) != 0) return;
        const size_t each = pairs.size() / static_cast<size_t>(processes);
        for (int p = 0; p < processes; ++p) {
            const pid_t pid = fork();
            if (pid == 0) {
                // Keep this child's pairs at 3, 4, ... and the pipe after them.
                int next = 3;
                std::vector<int> kept;
                for (size_t i = p * each; i < (p + 1) * each; ++i) {
                    kept.push_back(pairs[i].first);
                    kept.push_back(pairs[i].second);
                }
                int high = 0;
                for (const auto& [a, b] : pairs) high = std::max({high, a, b, quit[0]});
                ++high;
                for (size_t i = 0; i < kept.size(); ++i) kept[i] = fcntl(kept[i], F_DUPFD, high + static_cast<int>(i));
                const int wait = fcntl(quit[0], F_DUPFD, high + static_cast<int>(kept.size()));
                for (int fd : kept) dup2(fd, next++);
                dup2(wait, next);
                syscall(SYS_close_range, next + 1, ~0u, 0);
                char byte;
                while (read(next, &byte, 1) != 0) {}
                _exit(0);
            }
            if (pid > 0) children_.push_back(pid);
        }
        close(quit[0]);
        quit_ = quit[1];
    }
    ~Holders() {
        if (quit_ >= 0) close(quit_);
        for (pid_t pid : children_) waitpid(pid, nullptr, 0);
    }
    Holders(const Holders&) = delete;
    Holders& operator=(const Holders&) = delete;
    size_t size() const { return children_.size(); }

private:
    std::vector<pid_t> children_;
    int quit_ = -1;
};

class Agent {
public:
    explicit Agent(const std::string& path) : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        if (handle_ != nullptr) query_ = reinterpret_cast<SnmpExtensionQueryFn>(dlsym(handle_, "SnmpExtensionQuery"));
    }
    ~Agent() { if (handle_ != nullptr) dlclose(handle_); }
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;
    bool ok() const { return query_ != nullptr; }

    // One walk of tcpConnectionTable's state column, with the process column of each
    // row in the same request when asked; the number of rows.
    size_t Walk(bool process) {
        // The first request names the table, which has the agent read the kernel anew,
        // and the process column.
        static const uint32_t kColumn[] = {1, 3, 6, 1, 2, 1, 6, 19, 1, 8};
        SnmpVarBind binds[2] = {};
        const uint32_t count = process ? 2 : 1;
        for (uint32_t b = 0; b < count; ++b) {
            binds[b].name.idLength = b == 0 ? 8 : 10;
            binds[b].name.ids = static_cast<uint32_t*>(SnmpUtilMemAlloc(10 * 4));
            std::memcpy(binds[b].name.ids, kColumn, sizeof kColumn);
        }
        size_t rows = 0;
        for (;;) {
            SnmpVarBindList list{binds, count};
            AsnInteger32 status = 0, index = 0;
            if (!query_(SNMP_PDU_GETNEXT, &list, &status, &index) || status != 0) break;
            if (binds[0].name.idLength < 10 || binds[0].name.ids[7] != 19 || binds[0].name.ids[9] != 7) break;
            ++rows;
            // The next request names the row answered, in both columns.
            if (process) {
                SnmpUtilOidFree(&binds[1].name);
                SnmpUtilOidCpy(&binds[1].name, &binds[0].name);
                binds[1].name.ids[9] = 8;
            }
        }
        for (uint32_t b = 0; b < count; ++b) {
            SnmpUtilOidFree(&binds[b].name);
            SnmpUtilAsnAnyFree(&binds[b].value);
        }
        return rows;
    }

private:
    void* handle_;
    SnmpExtensionQueryFn query_ = nullptr;
};

uint32_t InodeOf(int fd) {
    struct stat st{};
    return fstat(fd, &st) == 0 ? static_cast<uint32_t>(st.st_ino) : 0;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(bench::Clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : kRounds;
    bench::PrivateNamespace ns("tv-bench-owners-");
    if (!ns.ok()) std::printf("no network namespace of its own (needs root): the host's loopback is used\n");
    bench::RaiseFileLimit(2 * kProcesses * kPairsEach + 1024);

    const int listener = bench::LoopbackListener(4096);
    std::vector<std::pair<int, int>> pairs;
    for (int i = 0; i < kProcesses * kPairsEach; ++i) {
        int client, server;
        if (!bench::ConnectPair(listener, client, server)) {
            std::fprintf(stderr, "could only open %zu pairs\n", pairs.size());
            return 1;
        }
        pairs.emplace_back(client, server);
    }
    Holders holders(pairs, kProcesses);
    for (const auto& [client, server] : pairs) close(client), close(server);  // the children hold them now
    std::printf("%zu sockets held by %zu processes, %zu in the table\n", 2 * pairs.size(), holders.size(),
                bench::PlainDump(IPPROTO_TCP));

    Agent agent(bench::BinDirectory() + "/libinetmib1.so");
    if (!agent.ok()) {
        std::fprintf(stderr, "cannot load the agent library\n");
        return 1;
    }
    size_t rows = 0;
    const double cold = bench::Milliseconds([&] { rows = agent.Walk(true); });
    std::printf("%zu rows in tcpConnectionTable; state alone: %zu\n", rows, agent.Walk(false));
    const auto m = bench::InterleavedMedians(
        {[] { bench::PlainDump(IPPROTO_TCP); }, [&] { agent.Walk(false); }, [&] { agent.Walk(true); }}, rounds);
    std::printf("\nrefresh, median of %d rounds, microseconds (the process column's first walk: %.1f ms)\n", rounds,
                cold);
    std::printf("%10s %10s %15s %12s %15s %12s\n", "dump", "state", "state+process", "state/dump", "s+p/dump",
                "s+p/state");
    std::printf("%10.0f %10.0f %15.0f %12.2f %15.2f %12.2f\n", m[0], m[1], m[2], m[1] / m[0], m[2] / m[0],
                m[2] / m[1]);

    // The cache by itself, over the table's inodes.
    std::vector<mib::Socket> sockets;
    mib::RowsOver<mib::Socket> read(sockets);
    mib::ReadTcpSockets(mib::Source::Netlink, read);
    read.Finish();
    std::vector<uint32_t> inodes, pids;
    for (const auto& s : sockets) inodes.push_back(s.inode);
    pids.resize(inodes.size() + 2);
    mib::SocketOwners owners;
    const double first = bench::Microseconds([&] { owners.Find(inodes.data(), pids.data(), inodes.size(), NowMs()); });
    const uint64_t firstReads = owners.work().processReads;
    std::vector<double> known, added;
    uint64_t reads = 0;
    for (int round = 0; round < rounds; ++round) {
        known.push_back(bench::Microseconds([&] { owners.Find(inodes.data(), pids.data(), inodes.size(), NowMs()); }));
        // A new connection in this process: two sockets the cache has not seen.
        int client, server;
        if (!bench::ConnectPair(listener, client, server)) break;
        inodes.push_back(static_cast<uint32_t>(InodeOf(client)));
        inodes.push_back(static_cast<uint32_t>(InodeOf(server)));
        pids.resize(inodes.size());
        const uint64_t before = owners.work().processReads;
        added.push_back(bench::Microseconds([&] { owners.Find(inodes.data(), pids.data(), inodes.size(), NowMs()); }));
        reads += owners.work().processReads - before;
        if (pids.back() != static_cast<uint32_t>(getpid())) std::printf("the new socket's owner was not found\n");
    }
    std::printf("\nowner lookup over %zu inodes, microseconds: first %.0f (%llu processes read), all known %.0f,"
                " after a new connection %.0f (%.1f processes read a lookup)\n",
                inodes.size(), first, static_cast<unsigned long long>(firstReads),
                bench::Median(known), bench::Median(added), rounds > 0 ? double(reads) / rounds : 0.0);
    close(listener);
    return 0;
}
