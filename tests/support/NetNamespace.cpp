#include "support/NetNamespace.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace {

int Shell(const std::string& command) {
    const int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

void MustShell(const std::string& command) {
    if (Shell(command) != 0) throw std::runtime_error("failed: " + command);
}

int OpenNamespace(const std::string& name) {
    const int fd = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("no namespace " + name);
    return fd;
}

}  // namespace

std::string NamespaceUnavailableReason() {
    if (::geteuid() != 0) return "needs root to make network namespaces (CI runs as root)";
    if (Shell("command -v ip >/dev/null 2>&1") != 0) return "needs ip(8) from iproute2";
    return {};
}

TestNetns::TestNetns(const std::string& tag) {
    static std::atomic<int> counter{0};
    name_ = "tv-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    MustShell("ip netns add " + name_);
    MustShell("ip netns exec " + name_ + " ip link set lo up");
}

TestNetns::~TestNetns() { Shell("ip netns del " + name_ + " 2>/dev/null"); }

int TestNetns::Exec(const std::string& command) const {
    return Shell("ip netns exec " + name_ + " sh -c '" + command + "'");
}

void TestNetns::Run(const std::function<void()>& fn) const {
    std::exception_ptr error;
    std::thread t([&] {
        try {
            Inside inside(*this);
            fn();
        } catch (...) {
            error = std::current_exception();
        }
    });
    t.join();
    if (error) std::rethrow_exception(error);
}

TestNetns::Inside::Inside(const TestNetns& ns) {
    home_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int fd = OpenNamespace(ns.name());
    const int rc = ::setns(fd, CLONE_NEWNET);
    ::close(fd);
    if (rc != 0) throw std::runtime_error("setns into " + ns.name() + " failed");
}

TestNetns::Inside::~Inside() {
    if (home_ < 0) return;
    (void)::setns(home_, CLONE_NEWNET);
    ::close(home_);
}

void LinkVeth(const TestNetns& a, const std::string& addressA, const TestNetns& b, const std::string& addressB) {
    static std::atomic<int> counter{0};
    const std::string id = std::to_string(::getpid() % 100000) + "x" + std::to_string(counter++);
    const std::string endA = "va" + id, endB = "vb" + id;  // interface names stay under 16 bytes
    MustShell("ip link add " + endA + " netns " + a.name() + " type veth peer name " + endB + " netns " + b.name());
    MustShell("ip -n " + a.name() + " addr add " + addressA + " broadcast + dev " + endA);
    MustShell("ip -n " + b.name() + " addr add " + addressB + " broadcast + dev " + endB);
    MustShell("ip -n " + a.name() + " link set " + endA + " up");
    MustShell("ip -n " + b.name() + " link set " + endB + " up");
}

std::string ShellOutput(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}
