#include "LookupTestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <stdexcept>

namespace {

bool RequestComplete(const std::string& r) {
    const size_t header = r.find("\n\n");
    if (header == std::string::npos) return r.find("\r\n") != std::string::npos;
    const size_t length = r.find("Content-Length: ");
    return length == std::string::npos || r.size() - (header + 2) >= std::stoul(r.substr(length + 16));
}

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 20) > 0;
}

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

sockaddr_in Ipv4(const std::string& address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    return sa;
}

}  // namespace

bool WaitFor(const std::function<bool()>& done, int limitMs) {
    for (int waited = 0; !done() && waited < limitMs; waited += 10) Sleep(10);
    return done();
}

ScriptedServer::ScriptedServer(std::vector<std::string> pieces, bool hold, int pauseMs, const std::string& address,
                               uint16_t port)
    : pieces_(std::move(pieces)), hold_(hold), pauseMs_(pauseMs), address_(address) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = Ipv4(address, port);
    socklen_t len = sizeof sa;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&sa), len) != 0 || ::listen(listener_, 8) != 0)
        throw std::runtime_error("cannot listen on " + address + ": " + std::strerror(errno));
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] {
        while (!stopping_) {
            if (!Readable(listener_)) continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            Answer(fd);
            ::close(fd);
        }
    });
}

ScriptedServer::~ScriptedServer() {
    stopping_ = released_ = true;
    thread_.join();
    ::close(listener_);
}

void ScriptedServer::Answer(int fd) {
    std::string request;
    char buf[4096];
    while (!stopping_ && !RequestComplete(request)) {
        if (!Readable(fd)) continue;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
    }
    {
        std::lock_guard<std::mutex> g(lock_);
        requests_.push_back(request);
    }
    for (size_t i = 0; i < pieces_.size(); ++i) {
        if (i > 0) Sleep(pauseMs_);
        if (::send(fd, pieces_[i].data(), pieces_[i].size(), MSG_NOSIGNAL) < 0) return;
    }
    while (hold_ && !released_) Sleep(10);
}

std::vector<std::string> ScriptedServer::Requests() {
    std::lock_guard<std::mutex> g(lock_);
    return requests_;
}

uint16_t RefusingPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = Ipv4("127.0.0.1", 0);
    socklen_t len = sizeof sa;
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), len);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(fd);  // bound, never listening, now free: a connection there is refused
    return ntohs(sa.sin_port);
}

SilentServer::SilentServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = Ipv4("127.0.0.1", 0);
    socklen_t len = sizeof sa;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&sa), len) != 0 || ::listen(listener_, 8) != 0)
        throw std::runtime_error(std::string("cannot listen: ") + std::strerror(errno));
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
}

SilentServer::~SilentServer() { ::close(listener_); }

ProcessCounts ProcessCounts::Now() {
    const auto count = [](const char* folder) {
        const std::filesystem::directory_iterator entries(folder);
        return static_cast<size_t>(std::distance(std::filesystem::begin(entries), std::filesystem::end(entries)));
    };
    return {count("/proc/self/task"), count("/proc/self/fd")};
}

ResolverSandbox::ResolverSandbox(const std::string& hostsLines) {
    WriteWholeFile(files_.file("hosts"), hostsLines);
    WriteWholeFile(files_.file("resolv.conf"), "nameserver 127.0.0.1\n");
    WriteWholeFile(files_.file("nsswitch.conf"), "hosts: files dns\n");
    homeNet_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    homeMount_ = ::open("/proc/thread-self/ns/mnt", O_RDONLY | O_CLOEXEC);
    if (homeNet_ < 0 || homeMount_ < 0 || ::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
        error_ = std::string("cannot make namespaces: ") + std::strerror(errno);
        return;
    }
    // Private, so the bind mounts never show outside this namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) error_ = "cannot make mounts private";
    for (const char* name : {"hosts", "resolv.conf", "nsswitch.conf"}) {
        const std::string target = std::string("/etc/") + name;
        if (error_.empty() && ::mount(files_.file(name).c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
            error_ = "cannot bind " + target;
    }
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    ifr.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    if (::ioctl(s, SIOCSIFFLAGS, &ifr) != 0 && error_.empty()) error_ = "cannot bring loopback up";
    ::close(s);
}

ResolverSandbox::~ResolverSandbox() {
    if (homeMount_ >= 0) (void)::setns(homeMount_, CLONE_NEWNS);
    if (homeNet_ >= 0) (void)::setns(homeNet_, CLONE_NEWNET);
    if (homeMount_ >= 0) ::close(homeMount_);
    if (homeNet_ >= 0) ::close(homeNet_);
}
