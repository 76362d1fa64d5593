#pragma once
// Sockets on the loopback address for tests: an owning descriptor, TCP listeners and
// connections, bound UDP sockets, and waiting for a datagram.
#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>

// Closes its descriptor when it goes.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd& operator=(Fd&& o) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset();

private:
    int fd_;
};

sockaddr_in Loopback(uint16_t port, const char* address = "127.0.0.1");
uint16_t LocalPort(int fd);

// A TCP listener on an ephemeral port of the address (the test fails if it cannot).
// IPv4 or IPv6.
Fd TcpListener(const char* address = "127.0.0.1");
Fd TcpConnect(uint16_t port, const char* address = "127.0.0.1");
Fd Accept(int listener);

// A UDP socket bound to the port (0: any free one) of the address; an invalid Fd when
// the port is taken.
Fd UdpSocket(uint16_t port = 0, const char* address = "127.0.0.1");
// One datagram, or nothing when none arrives within the time; sender filled when given.
std::optional<std::string> ReceiveDatagram(int fd, int timeoutMs, sockaddr_in* sender = nullptr);
