#include "lookup/WhoisWorker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "platform/Messages.h"
#include "platform/TextUtil.h"

namespace {

using Clock = std::chrono::steady_clock;

// Waits until the socket is ready for `events` or timeoutMs pass. A Stop of the link
// shuts the socket down, which makes it ready at once.
bool WaitReady(int fd, short events, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

bool ConnectTo(LinkedSocket& s, const sockaddr* address, socklen_t length, int timeoutMs) {
    s.Reset(::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (s.fd() < 0) return false;
    int error = 0;
    socklen_t errorLength = sizeof error;
    const bool connected =
        ::connect(s.fd(), address, length) == 0 ||
        (errno == EINPROGRESS && WaitReady(s.fd(), POLLOUT, timeoutMs) &&
         ::getsockopt(s.fd(), SOL_SOCKET, SO_ERROR, &error, &errorLength) == 0 && error == 0);
    // Blocking again for the short request; the reply is waited for by poll.
    if (connected && ::fcntl(s.fd(), F_SETFL, ::fcntl(s.fd(), F_GETFL) & ~O_NONBLOCK) == 0) return true;
    s.Reset();
    return false;
}

bool ConnectToName(LinkedSocket& s, const WhoisEndpoint& server, const ThreadLink& link, int timeoutMs) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // No AI_ADDRCONFIG: it refuses every address on a machine whose only interface
    // is loopback.
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(server.host.c_str(), std::to_string(server.port).c_str(), &hints, &found) != 0) return false;
    bool connected = false;
    for (const addrinfo* a = found; a && !connected && link.MayGoOn(); a = a->ai_next)
        connected = ConnectTo(s, a->ai_addr, a->ai_addrlen, timeoutMs);
    ::freeaddrinfo(found);
    return connected;
}

void SendAll(const LinkedSocket& s, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        // A server that has already closed must not kill the program with SIGPIPE.
        const ssize_t n = ::send(s.fd(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

// Appends the server's answer to reply, at most limit bytes in all. A read that waits
// longer than the time-out ends it like a failed receive.
void Receive(const LinkedSocket& s, const ThreadLink& link, size_t limit, bool endOfPage, int timeoutMs,
             std::string& reply) {
    while (link.MayGoOn()) {
        const size_t old = reply.size();
        if (old >= limit) return;  // full: what arrived is shown
        if (!WaitReady(s.fd(), POLLIN, timeoutMs)) return;
        reply.resize(old + std::min(limit - old, WHOIS_RECEIVE_PIECE));
        ssize_t n;
        do n = ::recv(s.fd(), reply.data() + old, reply.size() - old, MSG_DONTWAIT);
        while (n < 0 && errno == EINTR);
        reply.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
        if (!link.MayGoOn()) return;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n < 0) return;
        // Looking back over the previous piece's tail finds a marker split between two.
        if (endOfPage && ContainsEndOfPage(std::string_view(reply).substr(old > 6 ? old - 6 : 0))) return;
        if (n == 0) return;
    }
}

std::string AskForm(const WhoisConfig& config, const std::string& address, ThreadLink& link) {
    std::string reply;
    reply.reserve(WHOIS_REPLY_SIZE);
    uint32_t networkOrder = 0;
    if (!ParseDottedIPv4(config.server.host, networkOrder)) return reply;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(config.server.port);
    sa.sin_addr.s_addr = networkOrder;
    LinkedSocket s(link);
    if (!ConnectTo(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa, config.connectTimeoutMs)) return reply;
    SendAll(s, FormatWhoisRequest(config.server.host, address));
    Receive(s, link, WHOIS_FORM_REPLY_LIMIT, true, config.readTimeoutMs, reply);
    return reply;
}

std::string AskWhoisServer(const WhoisEndpoint& server, const WhoisConfig& config, const std::string& address,
                           ThreadLink& link) {
    std::string reply;
    LinkedSocket s(link);
    if (!ConnectToName(s, server, link, config.connectTimeoutMs)) return reply;
    SendAll(s, WhoisQueryLine(address));
    Receive(s, link, WHOIS_RECORD_REPLY_LIMIT, false, config.readTimeoutMs, reply);
    return reply;
}

std::string AskWithReferral(const WhoisConfig& config, const std::string& address, ThreadLink& link) {
    std::string reply = AskWhoisServer(config.server, config, address, link);
    WhoisEndpoint next;
    // One referral only: a chain of them could send the query round in circles.
    if (link.MayGoOn() && FindReferral(reply, next)) reply = AskWhoisServer(next, config, address, link);
    return reply;
}

}  // namespace

void RunWhoisWorker(std::shared_ptr<ThreadLink> link, WhoisConfig config) {
    std::string address(link->address, ::strnlen(link->address, sizeof link->address));
    std::string reply;
    // Only an address goes on the wire, so nothing else can ride along in the request
    // or the query line. A zone names one of our own links, which no registry knows.
    const bool ipv6 = IsIPv6Text(address);
    if (ipv6) address.erase(std::min(address.find('%'), address.size()));
    if (config.valid && (ipv6 || IsDottedIPv4(address))) {
        reply = config.protocol == WhoisProtocol::Form ? AskForm(config, address, *link)
                                                       : AskWithReferral(config, address, *link);
    }
    if (link->MayGoOn()) link->HandOver(WM_WHOIS_DONE, std::move(reply));
}

bool StartWhoisWorker(std::shared_ptr<ThreadLink> link, WhoisConfig config) {
    try {
        std::thread(RunWhoisWorker, std::move(link), std::move(config)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}
