// Cost of one CNetTableAgent::ReadTables against one plain read of the kernel's TCP
// table, with 100, 1,000 and 10,000 loopback TCP sockets open.
//
// Plain reads, each timed alone:
//   dump  one sock_diag dump of the IPv4 TCP table, messages counted, nothing parsed
//   proc  /proc/net/tcp read whole into memory, nothing parsed
// Agent reads (a whole ReadTables: ~200 requests, both tables):
//   agent       libinetmib1.so (sock_diag, the shipped library)
//   agent-proc  libinetmib1_proc.so (the /proc/net fallback)
#include "monitor/CNetTableAgent.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kRuns = 31;

double Microseconds(const std::function<void()>& work) {
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

// The reads take turns run by run, so a change in the machine's load falls on all of
// them alike; each figure is the median of its runs.
std::vector<double> InterleavedMedians(const std::vector<std::function<void()>>& reads) {
    std::vector<std::vector<double>> times(reads.size());
    for (const auto& read : reads) read();  // warm caches and the agents' first loads
    for (int run = 0; run < kRuns; ++run) {
        for (size_t i = 0; i < reads.size(); ++i) times[i].push_back(Microseconds(reads[i]));
    }
    std::vector<double> medians;
    for (auto& t : times) {
        std::sort(t.begin(), t.end());
        medians.push_back(t[t.size() / 2]);
    }
    return medians;
}

// One sock_diag dump of the IPv4 TCP table; returns the number of sockets.
size_t PlainDump() {
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
    req.r.sdiag_protocol = IPPROTO_TCP;
    req.r.idiag_states = 0x1FFE;  // the states /proc/net/tcp lists
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

size_t PlainProcRead() {
    static std::vector<char> buf(8 << 20);
    int fd = open("/proc/net/tcp", O_RDONLY | O_CLOEXEC);
    size_t total = 0;
    for (ssize_t n; (n = read(fd, buf.data() + total, buf.size() - total)) > 0;) total += static_cast<size_t>(n);
    close(fd);
    return total;
}

// A listener on 127.0.0.1 and as many connected pairs as asked for. Sockets close
// with a reset, so the run leaves no TIME_WAIT rows behind for other programs.
class LoopbackSockets {
public:
    LoopbackSockets() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = Address(0);
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, 512);
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        fds_.push_back(listener_);
    }
    ~LoopbackSockets() {
        linger abort{1, 0};
        for (int fd : fds_) {
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            close(fd);
        }
    }
    // Opens pairs until `total` sockets are open; false when the system refuses.
    bool GrowTo(size_t total) {
        while (fds_.size() < total) {
            int c = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a = Address(port_);
            if (c < 0 || connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                if (c >= 0) close(c);
                return false;
            }
            int s = accept(listener_, nullptr, nullptr);
            fds_.push_back(c);
            if (s < 0) return false;
            fds_.push_back(s);
        }
        return true;
    }
    size_t size() const { return fds_.size(); }

private:
    static sockaddr_in Address(uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }
    int listener_ = -1;
    uint16_t port_ = 0;
    std::vector<int> fds_;
};

void RaiseFileLimit(rlim_t wanted) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur >= wanted) return;
    lim.rlim_cur = std::min(wanted, lim.rlim_max);
    setrlimit(RLIMIT_NOFILE, &lim);
}

}  // namespace

int main() {
    RaiseFileLimit(10000 + 256);
    const std::string bin = DefaultAgentLibraryPath().substr(0, DefaultAgentLibraryPath().rfind('/'));
    CNetTableAgent agent(bin + "/libinetmib1.so");
    CNetTableAgent procAgent(bin + "/libinetmib1_proc.so");
    if (!agent.Initialize() || !procAgent.Initialize()) {
        std::fprintf(stderr, "cannot load the agent libraries from %s\n", bin.c_str());
        return 1;
    }

    std::printf("median of %d runs, microseconds; ratio = agent ReadTables / plain read\n", kRuns);
    std::printf("%8s %8s %9s %9s %9s %11s %12s %12s %12s\n", "sockets", "rows", "dump", "proc", "agent",
                "agent-proc", "agent/dump", "agent/proc", "a-proc/proc");
    LoopbackSockets sockets;
    for (size_t total : {100u, 1000u, 10000u}) {
        if (!sockets.GrowTo(total)) {
            std::fprintf(stderr, "could only open %zu sockets\n", sockets.size());
            return 1;
        }
        size_t rows = PlainDump();
        int result = 0;
        auto m = InterleavedMedians({[] { PlainDump(); }, [] { PlainProcRead(); },
                                     [&] { result |= agent.ReadTables(); },
                                     [&] { result |= procAgent.ReadTables(); }});
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
