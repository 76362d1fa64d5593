#include "friends/PingWorker.h"

#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

#include "friends/Icmp.h"
#include "platform/Messages.h"
#include "platform/Privileges.h"
#include "platform/TextUtil.h"

namespace {

constexpr int kTimeoutMs = 1000;
constexpr size_t kReceiveBytes = 1024;

class IcmpSocket {
public:
    IcmpSocket() = default;
    ~IcmpSocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    IcmpSocket(const IcmpSocket&) = delete;
    IcmpSocket& operator=(const IcmpSocket&) = delete;

    bool Open(PingSocketKind kind, uint16_t identifier) {
        if (kind != PingSocketKind::Ping && OpenRaw()) return true;
        return kind != PingSocketKind::Raw && OpenPing(identifier);
    }
    int fd() const { return fd_; }
    // A raw socket hands over the IPv4 header with the ICMP message; a ping socket
    // the message alone.
    bool raw() const { return raw_; }

private:
    bool OpenRaw() {
        fd_ = OpenRawIcmpSocket();
        if (fd_ < 0) return false;
        raw_ = true;
        // Without the filter a ping of one of our own addresses reads our own request
        // first and never sees the reply.
        const icmp_filter filter{1u << ICMP_ECHO};
        if (::setsockopt(fd_, SOL_RAW, ICMP_FILTER, &filter, sizeof filter) == 0 && SetTimeouts()) return true;
        return Close();
    }

    bool OpenPing(uint16_t identifier) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (fd_ < 0) return false;
        raw_ = false;
        // The kernel writes the bound port into the identifier field as it lies in
        // memory, so the request and its reply carry our identifier in host order.
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = identifier;
        const int on = 1;  // ICMP errors come back through the error queue
        const bool ok = ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
                        ::setsockopt(fd_, IPPROTO_IP, IP_RECVERR, &on, sizeof on) == 0 && SetTimeouts();
        return ok || Close();
    }

    bool SetTimeouts() const {
        const timeval t{kTimeoutMs / 1000, (kTimeoutMs % 1000) * 1000};
        return ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t) == 0 &&
               ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t) == 0;
    }

    bool Close() {
        ::close(fd_);
        fd_ = -1;
        return false;
    }

    int fd_ = -1;
    bool raw_ = false;
};

bool TimedOut(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

enum class QueuedErrors { None, Others, Ours };

// A ping socket hands ICMP errors (unreachable, ...) over through its error queue, each
// with the request it is about and that request's destination. Takes them all.
QueuedErrors TakeQueuedErrors(int fd, uint32_t to, const EchoRequest& request) {
    QueuedErrors found = QueuedErrors::None;
    for (;;) {
        uint8_t quoted[ECHO_REQUEST_SIZE];
        iovec iov{quoted, sizeof quoted};
        alignas(cmsghdr) char control[512];
        sockaddr_in destination{};
        msghdr msg{};
        msg.msg_name = &destination;
        msg.msg_namelen = sizeof destination;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
        if (n < 0) return found;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR) continue;
            sock_extended_err e{};
            std::memcpy(&e, CMSG_DATA(c), sizeof e);
            if (e.ee_origin != SO_EE_ORIGIN_ICMP) continue;
            if (QuotesRequest(quoted, static_cast<size_t>(n), destination.sin_addr.s_addr, to, request))
                found = QueuedErrors::Ours;
            else if (found == QueuedErrors::None)
                found = QueuedErrors::Others;
        }
    }
}

}  // namespace

std::string PingOnce(std::string_view address, PingSocketKind kind) {
    const uint16_t identifier = EchoIdentifier();
    IcmpSocket s;
    if (!s.Open(kind, identifier)) return PING_FAILED;

    sockaddr_in to{};
    to.sin_family = AF_INET;
    if (!ParseDottedIPv4(address, to.sin_addr.s_addr)) return PING_FAILED;

    // The reply time is counted from this tick, kept here: never from what comes back.
    const uint32_t sent = MillisecondTick();
    const EchoRequest request = BuildEchoRequest(identifier, sent);
    if (::sendto(s.fd(), request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
        return TimedOut(errno) ? PING_TIMED_OUT : PING_FAILED;

    // Whatever is not about this request is passed over, up to the end of the second.
    for (;;) {
        const auto elapsed = static_cast<int32_t>(MillisecondTick() - sent);
        if (elapsed >= kTimeoutMs) return PING_TIMED_OUT;
        pollfd p{s.fd(), POLLIN, 0};
        const int ready = ::poll(&p, 1, kTimeoutMs - elapsed);
        if (ready < 0 && errno != EINTR) return PING_FAILED;
        if (ready <= 0) continue;
        if ((p.revents & POLLERR) && !s.raw()) {
            const QueuedErrors errors = TakeQueuedErrors(s.fd(), to.sin_addr.s_addr, request);
            if (errors == QueuedErrors::Ours) return PING_NO_ECHO;
            if (errors == QueuedErrors::None) return PING_FAILED;
            continue;
        }
        uint8_t reply[kReceiveBytes];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n =
            ::recvfrom(s.fd(), reply, sizeof reply, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) {
            if (errno == EINTR || TimedOut(errno)) continue;
            return PING_FAILED;
        }
        const EchoVerdict verdict = JudgeEchoDatagram(reply, static_cast<size_t>(n), s.raw(), from.sin_addr.s_addr,
                                                      to.sin_addr.s_addr, request);
        if (verdict != EchoVerdict::Skip)
            return EchoResultWord(verdict, static_cast<int32_t>(MillisecondTick() - sent));
    }
}

void StartPingWorker(const std::shared_ptr<PingBlock>& block, PingSocketKind kind) {
    std::string address(block->address, ::strnlen(block->address, sizeof block->address));
    try {
        // The socket is closed before the post: the next worker binds the same
        // identifier on a ping socket.
        std::thread([block, address = std::move(address), kind] {
            const std::string result = PingOnce(address, kind);
            block->Post(WM_PING_RESULT, result);
        }).detach();
    } catch (const std::system_error&) {
        block->Post(WM_PING_RESULT, PING_FAILED);
    }
}

void SetPingAddress(PingBlock& block, std::string_view address) {
    const size_t n = std::min(address.size(), sizeof block.address - 1);
    std::memcpy(block.address, address.data(), n);
    block.address[n] = '\0';
}

bool BeginPingPass(const std::shared_ptr<PingBlock>& block, const WindowRef& hwnd, int rowCount,
                   const FriendAddressOf& addressOf, PingSocketKind kind) {
    if (rowCount <= 0) return false;
    block->hwnd = hwnd;
    block->row = 0;
    SetPingAddress(*block, addressOf(0));
    StartPingWorker(block, kind);
    return true;
}

bool ContinuePingPass(const std::shared_ptr<PingBlock>& block, int rowCount, const FriendAddressOf& addressOf,
                      PingSocketKind kind) {
    ++block->row;
    if (block->row >= rowCount) return false;
    SetPingAddress(*block, addressOf(block->row));
    StartPingWorker(block, kind);
    return true;
}
