#include "lookup/WhoisWorker.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "platform/Messages.h"
#include "platform/TextUtil.h"

namespace {

class Socket {
public:
    Socket() = default;
    ~Socket() { Close(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    void Reset(int fd) {
        Close();
        fd_ = fd;
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

bool MayGoOn(const ThreadLink& link) { return link.hwnd.IsWindow() && link.status.load() > 0; }

bool ConnectTo(Socket& s, const sockaddr* address, socklen_t length) {
    s.Reset(::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (s.fd() < 0) return false;
    if (::connect(s.fd(), address, length) == 0) return true;
    s.Close();
    return false;
}

bool ConnectToName(Socket& s, const WhoisEndpoint& server, const ThreadLink& link) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // No AI_ADDRCONFIG: it refuses every address on a machine whose only interface
    // is loopback.
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(server.host.c_str(), std::to_string(server.port).c_str(), &hints, &found) != 0) return false;
    bool connected = false;
    for (const addrinfo* a = found; a && !connected && MayGoOn(link); a = a->ai_next)
        connected = ConnectTo(s, a->ai_addr, a->ai_addrlen);
    ::freeaddrinfo(found);
    return connected;
}

void SendAll(const Socket& s, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        // A server that has already closed must not kill the program with SIGPIPE.
        const ssize_t n = ::send(s.fd(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

// Appends the server's answer to reply, at most limit bytes in all.
void Receive(const Socket& s, const ThreadLink& link, size_t limit, bool endOfPage, std::string& reply) {
    while (MayGoOn(link)) {
        const size_t old = reply.size();
        if (old >= limit) return;  // full: what arrived is shown
        reply.resize(old + std::min(limit - old, WHOIS_RECEIVE_PIECE));
        ssize_t n;
        do n = ::recv(s.fd(), reply.data() + old, reply.size() - old, 0);
        while (n < 0 && errno == EINTR);
        reply.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
        if (!link.hwnd.IsWindow() || link.status.load() < 0) return;
        if (n < 0) return;
        // Looking back over the previous piece's tail finds a marker split between two.
        if (endOfPage && ContainsEndOfPage(std::string_view(reply).substr(old > 6 ? old - 6 : 0))) return;
        if (n == 0) return;
    }
}

std::string AskForm(const WhoisEndpoint& server, const std::string& address, const ThreadLink& link) {
    std::string reply;
    reply.reserve(WHOIS_REPLY_SIZE);
    uint32_t networkOrder = 0;
    if (!ParseDottedIPv4(server.host, networkOrder)) return reply;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(server.port);
    sa.sin_addr.s_addr = networkOrder;
    Socket s;
    if (!ConnectTo(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa)) return reply;
    SendAll(s, FormatWhoisRequest(server.host, address));
    Receive(s, link, WHOIS_FORM_REPLY_LIMIT, true, reply);
    return reply;
}

std::string AskWhoisServer(const WhoisEndpoint& server, const std::string& address, const ThreadLink& link) {
    std::string reply;
    Socket s;
    if (!ConnectToName(s, server, link)) return reply;
    SendAll(s, WhoisQueryLine(address));
    Receive(s, link, WHOIS_RECORD_REPLY_LIMIT, false, reply);
    return reply;
}

std::string AskWithReferral(const WhoisEndpoint& root, const std::string& address, const ThreadLink& link) {
    std::string reply = AskWhoisServer(root, address, link);
    WhoisEndpoint next;
    // One referral only: a chain of them could send the query round in circles.
    if (MayGoOn(link) && FindReferral(reply, next)) reply = AskWhoisServer(next, address, link);
    return reply;
}

}  // namespace

void RunWhoisWorker(std::shared_ptr<ThreadLink> link, WhoisConfig config) {
    const std::string address(link->address, ::strnlen(link->address, sizeof link->address));
    std::string reply;
    // Only a dotted address goes on the wire, so nothing else can ride along in the
    // request or the query line.
    if (config.valid && IsDottedIPv4(address)) {
        reply = config.protocol == WhoisProtocol::Form ? AskForm(config.server, address, *link)
                                                       : AskWithReferral(config.server, address, *link);
    }
    if (!MayGoOn(*link)) return;
    link->text = std::make_unique<std::string>(std::move(reply));
    if (!link->hwnd.PostMessage(WM_WHOIS_DONE, 0, {})) link->text.reset();
}

bool StartWhoisWorker(std::shared_ptr<ThreadLink> link, WhoisConfig config) {
    try {
        std::thread(RunWhoisWorker, std::move(link), std::move(config)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}
