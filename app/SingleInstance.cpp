#include "app/SingleInstance.h"

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/FileUtil.h"

namespace {

constexpr char kSocketName[] = "instance";
constexpr char kLockName[] = "instance.lock";
// A request that has not arrived whole by then is dropped; so are connections beyond
// this many at once.
constexpr int kRequestLimitMs = 2000;
constexpr size_t kMaxConnections = 4;

// The folder is the user's alone: nobody else could have put a socket there or listen
// on it.
bool PrivateDir(const std::string& dir) {
    struct stat st {};
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 077) == 0;
}

bool SocketAddress(const std::string& path, sockaddr_un& addr) {
    addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool PeerIsUs(int fd) {
    ucred cred {};
    socklen_t len = sizeof cred;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == ::geteuid();
}

void CloseFd(int fd) {
    if (fd >= 0) ::close(fd);
}

}  // namespace

std::string InstanceChannelDir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') return std::string(runtime) + "/tolvara";
    return "/tmp/tolvara-" + std::to_string(::geteuid());
}

bool AskRunningCopyToShow(const std::string& dir, int limitMs) {
    sockaddr_un addr;
    if (!PrivateDir(dir) || !SocketAddress(dir + "/" + kSocketName, addr)) return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    auto waitFor = [&](short events) {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{fd, events, 0};
            const int n = ::poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count())));
            if (n < 0 && errno == EINTR) continue;
            return n > 0;
        }
    };
    bool shown = false;
    // A stale socket of a copy that died refuses the connection: nothing runs then.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 ||
        ((errno == EINPROGRESS || errno == EAGAIN) && waitFor(POLLOUT))) {
        const size_t requestSize = sizeof SHOW_REQUEST - 1;
        if (PeerIsUs(fd) && ::send(fd, SHOW_REQUEST, requestSize, MSG_NOSIGNAL) == static_cast<ssize_t>(requestSize)) {
            char reply[16];
            size_t got = 0;
            while (got < sizeof reply && waitFor(POLLIN)) {
                const ssize_t n = ::recv(fd, reply + got, sizeof reply - got, 0);
                if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
                if (n <= 0) break;
                got += static_cast<size_t>(n);
            }
            shown = std::string(reply, got) == SHOW_REPLY;
        }
    }
    ::close(fd);
    return shown;
}

struct InstanceListener::Connection {
    int fd;
    QSocketNotifier* readable;
    QTimer* limit;
    std::string request;
};

std::unique_ptr<InstanceListener> InstanceListener::Listen(const std::string& dir, std::function<void()> onShow) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return nullptr;
    const std::string socketPath = dir + "/" + kSocketName;
    sockaddr_un addr;
    if (!PrivateDir(dir) || !SocketAddress(socketPath, addr)) return nullptr;
    // The copy that holds the lock owns the socket; a second copy started directly runs
    // without the channel and leaves the first one's alone.
    const int lockFd = OpenRegularFile(dir + "/" + kLockName, O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
    if (lockFd < 0) return nullptr;
    if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        ::close(lockFd);
        return nullptr;
    }
    ::unlink(socketPath.c_str());  // left by a copy that died
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, static_cast<int>(kMaxConnections)) != 0) {
        CloseFd(fd);
        ::close(lockFd);
        return nullptr;
    }
    return std::unique_ptr<InstanceListener>(new InstanceListener(socketPath, lockFd, fd, std::move(onShow)));
}

InstanceListener::InstanceListener(std::string socketPath, int lockFd, int listenFd, std::function<void()> onShow)
    : socketPath_(std::move(socketPath)), lockFd_(lockFd), listenFd_(listenFd), onShow_(std::move(onShow)),
      incoming_(new QSocketNotifier(listenFd, QSocketNotifier::Read, this)) {
    connect(incoming_, &QSocketNotifier::activated, this, &InstanceListener::AcceptPending);
}

InstanceListener::~InstanceListener() {
    while (!connections_.empty()) Drop(connections_.back()->fd);
    delete incoming_;
    ::unlink(socketPath_.c_str());
    ::close(listenFd_);
    ::close(lockFd_);  // last: the next copy may take over only once the socket is gone
}

void InstanceListener::AcceptPending() {
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        if (connections_.size() >= kMaxConnections || !PeerIsUs(fd)) {
            ::close(fd);
            continue;
        }
        auto c = std::make_unique<Connection>(Connection{fd, new QSocketNotifier(fd, QSocketNotifier::Read, this),
                                                         new QTimer(this), {}});
        connect(c->readable, &QSocketNotifier::activated, this, [this, fd] { Serve(fd); });
        c->limit->setSingleShot(true);
        connect(c->limit, &QTimer::timeout, this, [this, fd] { Drop(fd); });
        c->limit->start(kRequestLimitMs);
        connections_.push_back(std::move(c));
    }
}

void InstanceListener::Serve(int fd) {
    Connection* c = nullptr;
    for (auto& each : connections_)
        if (each->fd == fd) c = each.get();
    if (!c) return;
    char buf[sizeof SHOW_REQUEST];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n > 0) c->request.append(buf, static_cast<size_t>(n));
    const std::string expected = SHOW_REQUEST;
    if (n > 0 && c->request.size() < expected.size() && expected.compare(0, c->request.size(), c->request) == 0)
        return;  // the rest is on its way
    if (c->request == expected) {
        onShow_();
        (void)!::send(fd, SHOW_REPLY, sizeof SHOW_REPLY - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    Drop(fd);
}

void InstanceListener::Drop(int fd) {
    for (auto it = connections_.begin(); it != connections_.end(); ++it) {
        if ((*it)->fd != fd) continue;
        // Either may be the sender of the signal that got us here.
        (*it)->readable->setEnabled(false);
        (*it)->readable->deleteLater();
        (*it)->limit->stop();
        (*it)->limit->deleteLater();
        ::close(fd);
        connections_.erase(it);
        return;
    }
}
