#include "messaging/MessengerMailslot.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "messaging/MessengerMessage.h"

namespace {

// The abstract form: a leading NUL, then the name's bytes, no terminator.
bool AbstractAddress(const std::string& name, sockaddr_un& address, socklen_t& length) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (name.empty() || name.size() > sizeof address.sun_path - 1) return false;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return true;
}

}  // namespace

std::unique_ptr<CMessengerMailslot> CMessengerMailslot::Create(const std::string& name) {
    sockaddr_un address;
    socklen_t length = 0;
    if (!AbstractAddress(name, address, length)) return nullptr;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<CMessengerMailslot>(new CMessengerMailslot(fd, name));
}

CMessengerMailslot::~CMessengerMailslot() { ::close(fd_); }

void CMessengerMailslot::Drain() {
    char buffer[MESSENGER_TEXT_MAX];
    while (!Full()) {
        // A longer datagram is cut to the buffer; the kernel discards the rest.
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        queue_.emplace_back(buffer, static_cast<size_t>(n));
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
    if (!AbstractAddress(name, address, length)) return false;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // Connected, so poll tells when the mailslot's queue has room again.
    bool sent = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) {
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
