#include "bench/BenchSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "monitor/CNetTableAgent.h"

namespace bench {

double Micros(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

double Microseconds(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return Micros(start, Clock::now());
}

double Milliseconds(const std::function<void()>& work) { return Microseconds(work) / 1000; }

double Median(std::vector<double> figures) {
    std::sort(figures.begin(), figures.end());
    return figures.empty() ? 0 : figures[figures.size() / 2];
}

std::vector<double> InterleavedMedians(const std::vector<std::function<void()>>& works, int runs) {
    std::vector<std::vector<double>> times(works.size());
    for (const auto& work : works) work();
    for (int run = 0; run < runs; ++run) {
        for (size_t i = 0; i < works.size(); ++i) times[i].push_back(Microseconds(works[i]));
    }
    std::vector<double> medians;
    for (auto& t : times) medians.push_back(Median(std::move(t)));
    return medians;
}

int Shell(const std::string& command) {
    const int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string BinDirectory() {
    const std::string library = DefaultAgentLibraryPath();
    return library.substr(0, library.rfind('/'));
}

PrivateNamespace::PrivateNamespace(const std::string& prefix, const std::vector<std::string>& setup)
    : name_(prefix + std::to_string(::getpid())) {
    const std::string in = "ip netns exec " + name_ + " ";
    ok_ = Shell("ip netns add " + name_) == 0 && Shell(in + "ip link set lo up") == 0;
    for (size_t i = 0; ok_ && i < setup.size(); ++i) ok_ = Shell(in + setup[i]) == 0;
    if (!ok_) return;
    const int fd = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
    ok_ = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) ::close(fd);
}

PrivateNamespace::~PrivateNamespace() { Shell("ip netns delete " + name_ + " 2>/dev/null"); }

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
    req.r.idiag_states = 0x1FFE;  // the states /proc/net lists
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

sockaddr_in LoopbackAddress(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

uint16_t LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

int LoopbackListener(int backlog) {
    const int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (l < 0) return -1;
    sockaddr_in a = LoopbackAddress(0);
    if (bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(l, backlog) != 0) {
        close(l);
        return -1;
    }
    return l;
}

bool ConnectPair(int listener, int& client, int& server) {
    sockaddr_in a = LoopbackAddress(LocalPort(listener));
    const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (c < 0 || connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (c >= 0) close(c);
        return false;
    }
    const int s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (s < 0) {
        close(c);
        return false;
    }
    client = c;
    server = s;
    return true;
}

void CloseWithReset(int fd) {
    linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(fd);
}

void RaiseFileLimit(rlim_t wanted) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur >= wanted) return;
    lim.rlim_cur = wanted;
    if (lim.rlim_max < wanted) lim.rlim_max = wanted;
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) {
        getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

LoopbackSockets::LoopbackSockets(int listeners, size_t ownPairs) : ownPairs_(ownPairs) {
    for (int i = 0; i < listeners; ++i) listeners_.push_back(LoopbackListener(1024));
}

LoopbackSockets::~LoopbackSockets() {
    for (auto [c, s] : pairs_) {
        CloseWithReset(c);
        CloseWithReset(s);
    }
    for (Holder& h : holders_) {
        close(h.quit);  // the holder resets its sockets and ends
        waitpid(h.pid, nullptr, 0);
    }
    for (int l : listeners_)
        if (l >= 0) close(l);
}

bool LoopbackSockets::GrowTo(size_t total) {
    while (size() < total && pairs_.size() < ownPairs_)
        if (!OpenPair()) return false;
    while (size() < total)
        if (!SpawnHolder(std::min(kHeldPairs, (total - size() + 1) / 2))) return false;
    return true;
}

bool LoopbackSockets::Churn(int pairs) {
    for (int i = 0; i < pairs && !pairs_.empty(); ++i) {
        CloseWithReset(pairs_.front().first);
        CloseWithReset(pairs_.front().second);
        pairs_.erase(pairs_.begin());
    }
    for (int i = 0; i < pairs; ++i)
        if (!OpenPair()) return false;
    return true;
}

bool LoopbackSockets::OpenPair() {
    const int l = listeners_[(pairs_.size() + held_) % listeners_.size()];
    int c = -1, s = -1;
    if (l < 0 || !ConnectPair(l, c, s)) return false;
    pairs_.emplace_back(c, s);
    return true;
}

bool LoopbackSockets::SpawnHolder(size_t pairs) {
    int ready[2], quit[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return false;
    if (pipe2(quit, O_CLOEXEC) != 0) {
        close(ready[0]);
        close(ready[1]);
        return false;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        close(quit[1]);
        // Copies of the parent's sockets would keep them open after it closes them.
        for (auto [c, s] : pairs_) {
            close(c);
            close(s);
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
            CloseWithReset(c1);
            CloseWithReset(s1);
        }
        _exit(0);
    }
    close(ready[1]);
    close(quit[0]);
    char ok = 0;
    const bool started = pid > 0 && read(ready[0], &ok, 1) == 1 && ok == 1;
    close(ready[0]);
    if (pid > 0) holders_.push_back({pid, quit[1]});
    else close(quit[1]);
    if (started) held_ += pairs;
    return started;
}

}  // namespace bench
