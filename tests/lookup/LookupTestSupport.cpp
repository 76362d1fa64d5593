#include "LookupTestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace {

bool RequestComplete(const std::string& r) {
    const size_t header = r.find("\n\n");
    if (header == std::string::npos) return r.find("\r\n") != std::string::npos;
    const size_t length = r.find("Content-Length: ");
    if (length == std::string::npos) return true;
    return r.size() - (header + 2) >= std::stoul(r.substr(length + 16));
}

// Waits for fd to be readable; false after ms without.
bool Readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

}  // namespace

ScriptedServer::ScriptedServer(std::vector<std::string> pieces, bool hold, int pauseMs, const std::string& address,
                               uint16_t port)
    : pieces_(std::move(pieces)), hold_(hold), pauseMs_(pauseMs), address_(address) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listener_, 8) != 0)
        throw std::runtime_error("cannot listen on " + address + ": " + std::strerror(errno));
    socklen_t len = sizeof sa;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

ScriptedServer::~ScriptedServer() {
    {
        std::lock_guard<std::mutex> g(lock_);
        stopping_ = released_ = true;
    }
    changed_.notify_all();
    thread_.join();
    ::close(listener_);
}

void ScriptedServer::Serve() {
    for (;;) {
        {
            std::lock_guard<std::mutex> g(lock_);
            if (stopping_) return;
        }
        if (!Readable(listener_, 20)) continue;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        Answer(fd);
        ::close(fd);
    }
}

void ScriptedServer::Answer(int fd) {
    std::string request;
    char buf[4096];
    while (!RequestComplete(request)) {
        {
            std::lock_guard<std::mutex> g(lock_);
            if (stopping_) return;
        }
        if (!Readable(fd, 20)) continue;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
    }
    {
        std::lock_guard<std::mutex> g(lock_);
        requests_.push_back(request);
    }
    changed_.notify_all();
    for (size_t i = 0; i < pieces_.size(); ++i) {
        if (i > 0 && pauseMs_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs_));
        if (::send(fd, pieces_[i].data(), pieces_[i].size(), MSG_NOSIGNAL) < 0) return;
    }
    if (!hold_) return;
    std::unique_lock<std::mutex> g(lock_);
    changed_.wait(g, [this] { return released_; });
}

std::vector<std::string> ScriptedServer::Requests() {
    std::lock_guard<std::mutex> g(lock_);
    return requests_;
}

bool ScriptedServer::WaitForRequests(size_t count, int limitMs) {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, std::chrono::milliseconds(limitMs), [&] { return requests_.size() >= count; });
}

void ScriptedServer::Release() {
    {
        std::lock_guard<std::mutex> g(lock_);
        released_ = true;
    }
    changed_.notify_all();
}

uint16_t RefusingPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(fd);  // bound but never listening, and now free: nothing answers there
    return ntohs(sa.sin_port);
}

PostRecorder::PostRecorder() {
    window = WindowRef::Create([this](PostedMessage&& m) {
        {
            std::lock_guard<std::mutex> g(lock_);
            posts_.push_back(std::move(m));
        }
        changed_.notify_all();
    });
}

bool PostRecorder::WaitForPosts(size_t count, int limitMs) {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, std::chrono::milliseconds(limitMs), [&] { return posts_.size() >= count; });
}

size_t PostRecorder::Count() {
    std::lock_guard<std::mutex> g(lock_);
    return posts_.size();
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
    // Private, so the bind mounts below never show outside this namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) error_ = "cannot make mounts private";
    for (const char* name : {"hosts", "resolv.conf", "nsswitch.conf"}) {
        const std::string target = std::string("/etc/") + name;
        if (error_.empty() && ::mount(files_.file(name).c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
            error_ = "cannot bind " + target;
    }
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    if (::ioctl(s, SIOCGIFFLAGS, &ifr) == 0) {
        ifr.ifr_flags |= IFF_UP;
        if (::ioctl(s, SIOCSIFFLAGS, &ifr) != 0 && error_.empty()) error_ = "cannot bring loopback up";
    }
    ::close(s);
}

ResolverSandbox::~ResolverSandbox() {
    if (homeMount_ >= 0) (void)::setns(homeMount_, CLONE_NEWNS);
    if (homeNet_ >= 0) (void)::setns(homeNet_, CLONE_NEWNET);
    if (homeMount_ >= 0) ::close(homeMount_);
    if (homeNet_ >= 0) ::close(homeNet_);
}
