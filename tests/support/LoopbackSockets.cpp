#include "support/LoopbackSockets.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

Fd& Fd::operator=(Fd&& o) noexcept {
    if (this != &o) {
        reset();
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

void Fd::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

sockaddr_in Loopback(uint16_t port, const char* address) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

uint16_t LocalPort(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return a.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(a).sin6_port)
                                   : ntohs(reinterpret_cast<sockaddr_in&>(a).sin_port);
}

// An IPv4 or IPv6 address and port.
static socklen_t Endpoint(uint16_t port, const char* address, sockaddr_storage& s) {
    auto& six = reinterpret_cast<sockaddr_in6&>(s);
    if (inet_pton(AF_INET6, address, &six.sin6_addr) != 1) {
        reinterpret_cast<sockaddr_in&>(s) = Loopback(port, address);
        return sizeof(sockaddr_in);
    }
    six.sin6_family = AF_INET6;
    six.sin6_port = htons(port);
    return sizeof six;
}

Fd TcpListener(const char* address) {
    sockaddr_storage a{};
    const socklen_t n = Endpoint(0, address, a);
    Fd fd(socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(0, bind(fd.get(), reinterpret_cast<sockaddr*>(&a), n));
    EXPECT_EQ(0, listen(fd.get(), 16));
    return fd;
}

Fd TcpConnect(uint16_t port, const char* address) {
    sockaddr_storage a{};
    const socklen_t n = Endpoint(port, address, a);
    Fd fd(socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(0, connect(fd.get(), reinterpret_cast<sockaddr*>(&a), n));
    return fd;
}

Fd Accept(int listener) { return Fd(accept(listener, nullptr, nullptr)); }

Fd UdpSocket(uint16_t port, const char* address) {
    Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = Loopback(port, address);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fd.reset();
    return fd;
}

std::optional<std::string> ReceiveDatagram(int fd, int timeoutMs, sockaddr_in* sender) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) return std::nullopt;
    char buf[65536];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return std::nullopt;
    if (sender) *sender = from;
    return std::string(buf, static_cast<size_t>(n));
}
