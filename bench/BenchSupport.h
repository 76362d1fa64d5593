#pragma once
// What the benchmarks share: timing and medians, a shell helper, a network namespace
// of the run's own, a plain netlink dump of a kernel table, and loopback TCP sockets.
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

double Micros(Clock::time_point from, Clock::time_point to);
// How long one run of the work takes.
double Microseconds(const std::function<void()>& work);
double Milliseconds(const std::function<void()>& work);
// The middle figure (the upper of the two middle ones for an even count); 0 for none.
double Median(std::vector<double> figures);
// Each work once to warm caches and first loads, then `runs` rounds in which they take
// turns, so a change in the machine's load falls on all of them alike. Returns each
// one's median, microseconds, in the order given.
std::vector<double> InterleavedMedians(const std::vector<std::function<void()>>& works, int runs);

// Runs a command through the shell; its exit status, -1 when it did not exit.
int Shell(const std::string& command);

// The directory the program and its agent libraries were built into.
std::string BinDirectory();

// A named network namespace (`prefix` and the process id) with loopback up and each
// setup command run inside it, then entered on the calling thread; deleted with the
// object. Make it on the main thread before any other starts, so that every thread is
// born in it. Needs root; ok() tells whether it worked.
class PrivateNamespace {
public:
    explicit PrivateNamespace(const std::string& prefix, const std::vector<std::string>& setup = {});
    ~PrivateNamespace();
    PrivateNamespace(const PrivateNamespace&) = delete;
    PrivateNamespace& operator=(const PrivateNamespace&) = delete;
    bool ok() const { return ok_; }

private:
    std::string name_;
    bool ok_ = false;
};

// One sock_diag dump of an IPv4 table (IPPROTO_TCP or IPPROTO_UDP) in the states
// /proc/net lists: messages counted, nothing parsed. Returns the number of sockets.
size_t PlainDump(uint8_t protocol);

sockaddr_in LoopbackAddress(uint16_t port);
uint16_t LocalPort(int fd);
// A TCP listener on an ephemeral port of 127.0.0.1; -1 when it cannot be made.
int LoopbackListener(int backlog);
// A connection to the listener and its accepted end; false, with nothing left open,
// when either fails.
bool ConnectPair(int listener, int& client, int& server);
// Closes with a reset, which leaves no TIME_WAIT row behind.
void CloseWithReset(int fd);

// Raises the soft limit on open descriptors to `wanted`, and the hard limit where the
// process may (root); short of that, to the hard limit.
void RaiseFileLimit(rlim_t wanted);

// Listeners on 127.0.0.1 and connected pairs, the pairs taken from the listeners in
// turn (with one, 50,000 sockets would run out of source ports). Pairs beyond
// `ownPairs` are held by child processes, kHeldPairs to a child, as a process may not
// be allowed that many descriptors; Churn falls on the pairs held here. Every socket
// closes with a reset.
class LoopbackSockets {
public:
    static constexpr size_t kHeldPairs = 8000;

    explicit LoopbackSockets(int listeners = 1, size_t ownPairs = SIZE_MAX);
    ~LoopbackSockets();
    LoopbackSockets(const LoopbackSockets&) = delete;
    LoopbackSockets& operator=(const LoopbackSockets&) = delete;

    // Sockets open, listeners included.
    size_t size() const { return 2 * (pairs_.size() + held_) + listeners_.size(); }
    // Opens pairs until at least `total` sockets are open; false when the system refuses.
    bool GrowTo(size_t total);
    // Closes the oldest pairs held here and opens as many new ones.
    bool Churn(int pairs);

private:
    struct Holder {
        pid_t pid;
        int quit;
    };

    bool OpenPair();
    bool SpawnHolder(size_t pairs);

    std::vector<int> listeners_;
    size_t ownPairs_;
    std::vector<std::pair<int, int>> pairs_;
    size_t held_ = 0;
    std::vector<Holder> holders_;
};

}  // namespace bench
