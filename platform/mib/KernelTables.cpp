#include "platform/mib/KernelTables.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace mib {
namespace {

// Every kernel TCP state the MIB has a row for (1..12); newer kernels also dump bound
// but inactive sockets (13), which the classic tables never listed.
constexpr uint32_t kDumpStates = 0x1FFEu;

bool IsV4Mapped(const uint8_t bytes[16]) {
    static const uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(bytes, prefix, sizeof prefix) == 0;
}

bool IsUnspecified(const uint8_t bytes[16]) {
    static const uint8_t zero[16] = {};
    return std::memcmp(bytes, zero, sizeof zero) == 0;
}

// What the kernel says of an IPv6 socket's IPV6_V6ONLY (it reports it unasked for
// listeners and unconnected sockets): 1 or 0, or -1 when the message does not say.
// Asked only of IPv6 sockets: an IPv4 row never needs it.
int V6OnlyOf(const nlmsghdr& h) {
    const char* base = reinterpret_cast<const char*>(&h);
    size_t at = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(inet_diag_msg));
    while (at + NLA_HDRLEN <= h.nlmsg_len) {
        nlattr attribute;
        std::memcpy(&attribute, base + at, sizeof attribute);
        if (attribute.nla_len < NLA_HDRLEN || at + attribute.nla_len > h.nlmsg_len) break;
        if ((attribute.nla_type & NLA_TYPE_MASK) == INET_DIAG_SKV6ONLY && attribute.nla_len > NLA_HDRLEN)
            return base[at + NLA_HDRLEN] != 0 ? 1 : 0;
        at += NLA_ALIGN(attribute.nla_len);
    }
    return -1;
}

// Closes the descriptor on every path out of a /proc read.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { if (fd_ >= 0) ::close(fd_); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// A dump request of either kind: the current one names one family and protocol; the
// older TCP-only one (TCPDIAG_GETSOCK) dumps both address families in one pass.
template <typename Request>
struct DumpMessage {
    nlmsghdr header;
    Request request;
};

template <typename Request>
DumpMessage<Request> MakeDump(uint16_t type) {
    DumpMessage<Request> message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = type;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    return message;
}

// The one sock_diag socket, kept open from dump to dump rather than opened for each.
// A dump that goes wrong part way may leave replies queued, so it closes the socket
// and the next dump starts on a fresh one.
class DiagSocket {
public:
    DiagSocket() = default;
    ~DiagSocket() { Close(); }  // the library may be unloaded
    DiagSocket(const DiagSocket&) = delete;
    DiagSocket& operator=(const DiagSocket&) = delete;

    // The socket, opened when there is none; -1 when the kernel refuses one.
    int Get() {
        if (fd_ < 0) {
            fd_ = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
            // The kernel answers a dump at once; a wait this long means it never will.
            timeval limit{5, 0};
            if (fd_ >= 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        }
        return fd_;
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    uint32_t NextSequence() { return ++sequence_; }
    std::mutex& lock() { return lock_; }

private:
    int fd_ = -1;
    uint32_t sequence_ = 0;
    std::mutex lock_;
};

DiagSocket gDiag;

// One sock_diag dump; onSocket(const inet_diag_msg&, const nlmsghdr&) for every socket.
// False when the kernel refuses the dump (no sock_diag, no handler for the family or
// protocol) or it breaks off.
template <typename Request, typename OnSocket>
bool DumpSockDiag(DumpMessage<Request> message, OnSocket onSocket) {
    std::lock_guard<std::mutex> hold(gDiag.lock());
    const int fd = gDiag.Get();
    if (fd < 0) return false;
    message.header.nlmsg_seq = gDiag.NextSequence();

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = ::sendto(fd, &message, sizeof message, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(sizeof message)) {
        gDiag.Close();
        return false;
    }

    // Large enough for the kernel's biggest dump chunk, so no reply is cut.
    alignas(nlmsghdr) static thread_local char buffer[64 * 1024];
    for (;;) {
        ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            gDiag.Close();
            return false;
        }
        int remaining = static_cast<int>(got);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, remaining);
             h = NLMSG_NEXT(h, remaining)) {
            if (h->nlmsg_seq != message.header.nlmsg_seq) continue;
            if (h->nlmsg_type == NLMSG_DONE) return true;
            if (h->nlmsg_type == NLMSG_ERROR) return false;  // a refusal ends the reply
            if (h->nlmsg_type != message.header.nlmsg_type) continue;  // replies carry the request type
            if (h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
            onSocket(*static_cast<const inet_diag_msg*>(NLMSG_DATA(h)), *h);
        }
    }
}

// The whole of a /proc file; false when it cannot be opened.
bool ReadProcFile(const char* path, std::string& text) {
    Fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return false;
    text.clear();
    size_t used = 0;
    for (;;) {
        if (text.size() - used < 64 * 1024) text.resize(used + 128 * 1024);
        ssize_t got = ::read(fd.get(), text.data() + used, text.size() - used);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) break;
        used += static_cast<size_t>(got);
    }
    text.resize(used);
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Reads exactly `digits` hex digits at p into value; advances p.
bool ParseHex(const char*& p, const char* end, int digits, uint32_t& value) {
    if (end - p < digits) return false;
    uint32_t v = 0;
    for (int i = 0; i < digits; ++i) {
        int d = HexDigit(p[i]);
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    value = v;
    p += digits;
    return true;
}

// "ADDR:PORT" as the kernel prints it: each 32-bit word of the address as the
// in-memory value in host order, then the port in host order.
bool ParseEndpoint(const char*& p, const char* end, int words, uint8_t bytes[16], uint16_t& port) {
    for (int w = 0; w < words; ++w) {
        uint32_t word;
        if (!ParseHex(p, end, 8, word)) return false;
        std::memcpy(bytes + 4 * w, &word, 4);
    }
    if (p >= end || *p != ':') return false;
    ++p;
    uint32_t value;
    if (!ParseHex(p, end, 4, value)) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

struct ProcLine {
    uint8_t local[16];
    uint16_t localPort;
    uint8_t remote[16];
    uint16_t remotePort;
    unsigned state;
    uint32_t inode;  // 0 when the line does not give one
};

// The inode: the sixth field after the state (queues, timer, retransmits, uid,
// time-out come first).
uint32_t ParseInode(const char* p, const char* end) {
    for (int field = 0; field < 6; ++field) {
        while (p < end && *p == ' ') ++p;
        if (field == 5) break;
        while (p < end && *p != ' ') ++p;
    }
    uint64_t value = 0;
    const char* start = p;
    while (p < end && *p >= '0' && *p <= '9' && p - start < 10) value = value * 10 + static_cast<uint64_t>(*p++ - '0');
    return p > start && value <= UINT32_MAX && (p == end || *p == ' ') ? static_cast<uint32_t>(value) : 0;
}

// Calls onLine(const ProcLine&) for every well-formed row of a /proc/net table.
template <typename OnLine>
bool ParseProcTable(const char* path, bool ipv6, OnLine onLine) {
    static thread_local std::string text;
    if (!ReadProcFile(path, text)) return false;
    const int words = ipv6 ? 4 : 1;
    const char* p = text.data();
    const char* end = p + text.size();
    const char* lineEnd = static_cast<const char*>(std::memchr(p, '\n', end - p));
    if (lineEnd == nullptr) return true;  // header only, or empty
    p = lineEnd + 1;                      // skip the header
    while (p < end) {
        lineEnd = static_cast<const char*>(std::memchr(p, '\n', end - p));
        if (lineEnd == nullptr) lineEnd = end;
        const char* q = static_cast<const char*>(std::memchr(p, ':', lineEnd - p));
        ProcLine line{};
        uint32_t state = 0;
        bool ok = q != nullptr;
        if (ok) {
            ++q;
            while (q < lineEnd && *q == ' ') ++q;
            ok = ParseEndpoint(q, lineEnd, words, line.local, line.localPort) && q < lineEnd &&
                 *q++ == ' ' && ParseEndpoint(q, lineEnd, words, line.remote, line.remotePort) &&
                 q < lineEnd && *q++ == ' ' && ParseHex(q, lineEnd, 2, state);
        }
        if (ok) {
            line.state = state;
            line.inode = ParseInode(q, lineEnd);
            onLine(line);
        }
        p = lineEnd + 1;
    }
    return true;
}

// Copies the IPv4 part of an address; false for IPv6 addresses that are not mapped.
// A dual-stack socket's :: takes IPv4 as well, so it reads as 0.0.0.0.
bool TakeV4(const uint8_t* address, bool ipv6, bool dualStack, uint8_t out[4]) {
    if (!ipv6) {
        std::memcpy(out, address, 4);
        return true;
    }
    if (dualStack && IsUnspecified(address)) {
        std::memset(out, 0, 4);
        return true;
    }
    if (!IsV4Mapped(address)) return false;
    std::memcpy(out, address + 12, 4);
    return true;
}

Socket SocketOf(uint8_t family, const uint8_t* local, uint16_t localPort, const uint8_t* remote,
                uint16_t remotePort, unsigned state, uint32_t inode) {
    Socket s{};
    const size_t length = family == AF_INET6 ? 16 : 4;
    s.family = family;
    s.kernelState = static_cast<uint8_t>(state);
    s.v6only = -1;
    std::memcpy(s.local, local, length);
    std::memcpy(s.remote, remote, length);
    s.localPort = localPort;
    s.remotePort = remotePort;
    s.inode = inode;
    return s;
}

Socket SocketOf(const inet_diag_msg& m, const nlmsghdr& h) {
    Socket s = SocketOf(m.idiag_family, reinterpret_cast<const uint8_t*>(m.id.idiag_src), ntohs(m.id.idiag_sport),
                        reinterpret_cast<const uint8_t*>(m.id.idiag_dst), ntohs(m.id.idiag_dport), m.idiag_state,
                        m.idiag_inode);
    s.ifindex = m.id.idiag_if;
    if (m.idiag_family == AF_INET6) s.v6only = static_cast<int8_t>(V6OnlyOf(h));
    return s;
}

// A socket as a row of each kind of table; the older tables hold the IPv4 ones alone.
void AddRow(RowsOver<Socket>& out, const Socket& s) { out.push_back(s); }

void AddRow(RowsOver<TcpConn>& out, const Socket& s) {
    const bool ipv6 = s.family == AF_INET6;
    const bool dualStack = ipv6 && s.v6only == 0;
    TcpConn row{};
    row.state = TcpConnStateFromKernel(s.kernelState);
    if (row.state == 0) return;
    if (!TakeV4(s.local, ipv6, dualStack, row.local) || !TakeV4(s.remote, ipv6, dualStack, row.remote)) return;
    row.localPort = s.localPort;
    row.remotePort = s.remotePort;
    row.fromIpv6 = ipv6;
    out.push_back(row);
}

void AddRow(RowsOver<UdpEndpoint>& out, const Socket& s) {
    const bool ipv6 = s.family == AF_INET6;
    UdpEndpoint row{};
    if (!TakeV4(s.local, ipv6, ipv6 && s.v6only == 0, row.local)) return;
    row.localPort = s.localPort;
    row.fromIpv6 = ipv6;
    out.push_back(row);
}

// One family's sockets of a protocol: a sock_diag dump, else its /proc/net table.
template <typename Row>
bool ReadFamily(Source source, uint8_t protocol, bool ipv6, RowsOver<Row>& out) {
    const size_t before = out.size();
    const uint8_t family = ipv6 ? AF_INET6 : AF_INET;
    if (source == Source::Netlink) {
        auto message = MakeDump<inet_diag_req_v2>(SOCK_DIAG_BY_FAMILY);
        message.request.sdiag_family = family;
        message.request.sdiag_protocol = protocol;
        message.request.idiag_states = kDumpStates;
        bool ok = DumpSockDiag(message, [&](const inet_diag_msg& m, const nlmsghdr& h) {
            if (m.idiag_family == family) AddRow(out, SocketOf(m, h));
        });
        if (ok) return true;
        out.resize(before);  // a dump cut short must not leave half a table
    }
    const char* path = protocol == IPPROTO_TCP ? (ipv6 ? "/proc/net/tcp6" : "/proc/net/tcp")
                                               : (ipv6 ? "/proc/net/udp6" : "/proc/net/udp");
    return ParseProcTable(path, ipv6, [&](const ProcLine& l) {
        AddRow(out, SocketOf(family, l.local, l.localPort, l.remote, l.remotePort, l.state, l.inode));
    });
}

// Both families in one pass over the kernel's TCP hash tables: a dump's cost is
// mostly that pass, whatever the number of sockets it reports.
template <typename Row>
bool DumpTcpBothFamilies(RowsOver<Row>& out) {
    const size_t before = out.size();
    auto message = MakeDump<inet_diag_req>(TCPDIAG_GETSOCK);
    message.request.idiag_family = AF_INET;  // ignored: this request covers every family
    message.request.idiag_states = kDumpStates;
    const bool ok = DumpSockDiag(message, [&](const inet_diag_msg& m, const nlmsghdr& h) {
        if (m.idiag_family == AF_INET || m.idiag_family == AF_INET6) AddRow(out, SocketOf(m, h));
    });
    if (!ok) out.resize(before);
    return ok;
}

template <typename Row>
bool ReadBothFamilies(Source source, uint8_t protocol, RowsOver<Row>& out) {
    if (source == Source::Netlink && protocol == IPPROTO_TCP && DumpTcpBothFamilies(out)) return true;
    if (!ReadFamily(source, protocol, false, out)) return false;
    ReadFamily(source, protocol, true, out);  // no IPv6 on this kernel: nothing to add
    return true;
}

}  // namespace

bool ReadTcpSockets(Source source, RowsOver<Socket>& out) { return ReadBothFamilies(source, IPPROTO_TCP, out); }
bool ReadUdpSockets(Source source, RowsOver<Socket>& out) { return ReadBothFamilies(source, IPPROTO_UDP, out); }
bool ReadTcpTable(Source source, RowsOver<TcpConn>& out) { return ReadBothFamilies(source, IPPROTO_TCP, out); }
bool ReadUdpTable(Source source, RowsOver<UdpEndpoint>& out) { return ReadBothFamilies(source, IPPROTO_UDP, out); }

}  // namespace mib
