#include "messaging/MessengerMailslot.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "messaging/MessengerMessage.h"
#include "platform/TextUtil.h"

namespace {

bool IsPath(const std::string& name) { return !name.empty() && name[0] == '/'; }

// A path as it is; any other name in the abstract form: a leading NUL, then the name's
// bytes, no terminator.
bool MailslotAddress(const std::string& name, sockaddr_un& address, socklen_t& length) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (name.empty() || name.size() > sizeof address.sun_path - 1) return false;
    const size_t skip = IsPath(name) ? 0 : 1;
    std::memcpy(address.sun_path + skip, name.data(), name.size());
    // A path's terminating NUL, or the abstract form's leading one.
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return true;
}

// The user's own folder, closed to group and others.
bool IsPrivateFolder(const std::string& dir) {
    struct stat st;
    return IsPath(dir) && ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           (st.st_mode & 077) == 0;
}

// Closes any descriptors a sender passed along; true when the datagram carries the
// credentials of this process's uid.
bool FromThisUser(msghdr& msg) {
    bool ours = false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET) continue;
        if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
            ucred cred;
            std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
            ours = cred.uid == ::getuid();
        } else if (c->cmsg_type == SCM_RIGHTS) {
            const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof fd, sizeof fd);
                ::close(fd);
            }
        }
    }
    return ours;
}

// One attribute of the Unix socket with that inode, from the kernel's socket
// diagnostics: the only place that tells who holds an abstract name.
std::optional<uint32_t> UnixDiagAttribute(ino_t inode, uint32_t show, unsigned short attribute) {
    const int nl = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0) return std::nullopt;
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.request.sdiag_family = AF_UNIX;
    query.request.udiag_ino = static_cast<uint32_t>(inode);
    query.request.udiag_show = show;
    query.request.udiag_cookie[0] = query.request.udiag_cookie[1] = ~0u;  // any socket by that inode
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    alignas(nlmsghdr) char answer[1024];
    ssize_t n = -1;
    pollfd p{nl, POLLIN, 0};
    if (::sendto(nl, &query, sizeof query, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
            static_cast<ssize_t>(sizeof query) &&
        ::poll(&p, 1, 1000) == 1)
        n = ::recv(nl, answer, sizeof answer, MSG_DONTWAIT);
    ::close(nl);
    auto* header = reinterpret_cast<nlmsghdr*>(answer);
    if (n <= 0 || !NLMSG_OK(header, static_cast<unsigned>(n)) || header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        header->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg)))
        return std::nullopt;
    const auto* reply = static_cast<const unix_diag_msg*>(NLMSG_DATA(header));
    if (reply->udiag_ino != inode) return std::nullopt;
    int left = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof *reply));
    for (auto* a = reinterpret_cast<rtattr*>(const_cast<unix_diag_msg*>(reply + 1)); RTA_OK(a, left);
         a = RTA_NEXT(a, left)) {
        if (a->rta_type != attribute || RTA_PAYLOAD(a) < sizeof(uint32_t)) continue;
        uint32_t value;
        std::memcpy(&value, RTA_DATA(a), sizeof value);
        return value;
    }
    return std::nullopt;
}

// Whether the socket this one is connected to was made by this process's uid.
bool PeerIsThisUser(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    const auto peer = UnixDiagAttribute(st.st_ino, UDIAG_SHOW_PEER, UNIX_DIAG_PEER);
    const auto owner = peer ? UnixDiagAttribute(*peer, UDIAG_SHOW_UID, UNIX_DIAG_UID) : std::nullopt;
    return owner && *owner == ::getuid();
}

}  // namespace

std::string LocalMailslotName() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    for (const std::string& dir : {std::string(runtime ? runtime : ""), "/run/user/" + std::to_string(::getuid())}) {
        std::string path = JoinPath(dir, LOCAL_MAILSLOT_FILE);
        if (IsPrivateFolder(dir) && path.size() < sizeof(sockaddr_un::sun_path)) return path;
    }
    return std::string(LOCAL_MAILSLOT_FILE) + "-" + std::to_string(::getuid());
}

std::unique_ptr<CMessengerMailslot> CMessengerMailslot::Create(const std::string& name) {
    sockaddr_un address;
    socklen_t length = 0;
    if (!MailslotAddress(name, address, length)) return nullptr;
    int lockFd = -1;
    if (IsPath(name)) {
        // flock, where probing the socket could not: two copies starting at once would
        // both find it stale, and the later would unlink the earlier's socket. The kernel
        // lets go of the lock when its holder dies.
        lockFd = ::open((name + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (lockFd < 0) return nullptr;
        if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
            ::close(lockFd);
            return nullptr;
        }
        ::unlink(name.c_str());
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    // Credentials come with every datagram from the start, so none arrives unchecked.
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        if (fd >= 0) ::close(fd);
        if (lockFd >= 0) ::close(lockFd);
        return nullptr;
    }
    return std::unique_ptr<CMessengerMailslot>(new CMessengerMailslot(fd, lockFd, name));
}

CMessengerMailslot::~CMessengerMailslot() {
    // The socket file goes while the lock is still held, so it is never a successor's.
    if (lockFd_ >= 0) ::unlink(name_.c_str());
    ::close(fd_);
    if (lockFd_ >= 0) ::close(lockFd_);
}

void CMessengerMailslot::Drain() {
    char buffer[MESSENGER_TEXT_MAX];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(16 * sizeof(int))];
    while (!Full()) {
        // A longer datagram is cut to the buffer; the kernel discards the rest.
        iovec data{buffer, sizeof buffer};
        msghdr msg{};
        msg.msg_iov = &data;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd_, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (FromThisUser(msg)) queue_.emplace_back(buffer, static_cast<size_t>(n));
    }
}

bool CMessengerMailslot::ReadNext(std::string& message) {
    if (queue_.empty()) Drain();
    if (queue_.empty()) return false;
    message = std::move(queue_.front());
    queue_.pop_front();
    // Room again: keep the socket's backlog moving in arrival order.
    Drain();
    return true;
}

bool WriteLocalMailslot(const std::string& name, std::string_view message, int waitMs, int stopFd) {
    sockaddr_un address;
    socklen_t length = 0;
    if (!MailslotAddress(name, address, length)) return false;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // Connected, so poll tells when the mailslot's queue has room again, and the holder
    // checked is the one written to.
    bool sent = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 && (IsPath(name) || PeerIsThisUser(fd))) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        for (;;) {
            if (::send(fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
                sent = true;
                break;
            }
            if (errno == EINTR) continue;
            if (errno != EAGAIN) break;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd fds[2] = {{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
            if (::poll(fds, stopFd >= 0 ? 2 : 1, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
            if (stopFd >= 0 && (fds[1].revents & POLLIN)) break;
        }
    }
    ::close(fd);
    return sent;
}
