// Cost of one CNetTableAgent::ReadTables against one plain read of the kernel's TCP
// table, with 100, 1,000 and 10,000 loopback TCP sockets open.
//
// Plain reads, each timed alone:
//   dump  one sock_diag dump of the IPv4 TCP table, messages counted, nothing parsed
//   proc  /proc/net/tcp read whole into memory, nothing parsed
// Agent reads (a whole ReadTables: ~200 requests, both tables):
//   agent       libinetmib1.so (sock_diag, the shipped library)
//   agent-proc  libinetmib1_proc.so (the /proc/net fallback)
#include "bench/BenchSupport.h"
#include "monitor/CNetTableAgent.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kRuns = 31;

size_t PlainProcRead() {
    static std::vector<char> buf(8 << 20);
    int fd = open("/proc/net/tcp", O_RDONLY | O_CLOEXEC);
    size_t total = 0;
    for (ssize_t n; (n = read(fd, buf.data() + total, buf.size() - total)) > 0;) total += static_cast<size_t>(n);
    close(fd);
    return total;
}

}  // namespace

int main() {
    bench::RaiseFileLimit(10000 + 256);
    const std::string bin = bench::BinDirectory();
    CNetTableAgent agent(bin + "/libinetmib1.so");
    CNetTableAgent procAgent(bin + "/libinetmib1_proc.so");
    if (!agent.Initialize() || !procAgent.Initialize()) {
        std::fprintf(stderr, "cannot load the agent libraries from %s\n", bin.c_str());
        return 1;
    }

    std::printf("median of %d runs, microseconds; ratio = agent ReadTables / plain read\n", kRuns);
    std::printf("%8s %8s %9s %9s %9s %11s %12s %12s %12s\n", "sockets", "rows", "dump", "proc", "agent",
                "agent-proc", "agent/dump", "agent/proc", "a-proc/proc");
    bench::LoopbackSockets sockets;
    for (size_t total : {100u, 1000u, 10000u}) {
        if (!sockets.GrowTo(total)) {
            std::fprintf(stderr, "could only open %zu sockets\n", sockets.size());
            return 1;
        }
        size_t rows = bench::PlainDump(IPPROTO_TCP);
        int result = 0;
        auto m = bench::InterleavedMedians({[] { bench::PlainDump(IPPROTO_TCP); }, [] { PlainProcRead(); },
                                            [&] { result |= agent.ReadTables(); },
                                            [&] { result |= procAgent.ReadTables(); }},
                                           kRuns);
        double dump = m[0], proc = m[1], ours = m[2], oursProc = m[3];
        if (result != 0 || agent.ReachedLimit()) {
            std::fprintf(stderr, "ReadTables failed: %s\n", agent.errorText);
            return 1;
        }
        std::printf("%8zu %8zu %9.0f %9.0f %9.0f %11.0f %12.2f %12.2f %12.2f\n", sockets.size(), rows, dump, proc,
                    ours, oursProc, ours / dump, ours / proc, oursProc / proc);
    }
    return 0;
}
