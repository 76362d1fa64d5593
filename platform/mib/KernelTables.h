#pragma once
// The kernel's IPv4 TCP and UDP tables, as the agent serves them. IPv6 sockets whose
// addresses are IPv4-mapped (::ffff:a.b.c.d) count as IPv4 rows: dual-stack servers
// hold their IPv4 clients that way. A listener or UDP socket bound to :: that is not
// IPv6-only takes IPv4 too, so it counts as a 0.0.0.0 row; only sock_diag says which
// those are, so the /proc reader leaves them out.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace mib {

struct TcpConn {
    uint8_t local[4];   // network byte order, as the address is written
    uint16_t localPort;
    uint8_t remote[4];
    uint16_t remotePort;
    int32_t state;      // tcpConnState (1..12)
    bool fromIpv6;      // a row of an IPv6 socket (mapped, or dual-stack ::)

    bool operator==(const TcpConn&) const = default;
};

struct UdpEndpoint {
    uint8_t local[4];
    uint16_t localPort;
    bool fromIpv6;

    bool operator==(const UdpEndpoint&) const = default;
};

// Where a read writes its rows: over those of the read before, so a table that did
// not change costs no second copy; Finish tells whether any row changed.
template <typename Row>
class RowsOver {
public:
    explicit RowsOver(std::vector<Row>& rows) : rows_(rows) {}
    void push_back(const Row& row) {
        if (used_ == rows_.size()) {
            rows_.push_back(row);
            differs_ = true;
        } else if (differs_ || !(rows_[used_] == row)) {
            rows_[used_] = row;
            differs_ = true;
        }
        ++used_;
    }
    size_t size() const { return used_; }
    // Drops the rows written from n on: a read cut short must not leave half a table.
    void resize(size_t n) {
        used_ = n < used_ ? n : used_;
        differs_ = true;
    }
    // The rows are those written; true when they differ from the read before.
    bool Finish() {
        differs_ = differs_ || used_ != rows_.size();
        rows_.resize(used_);
        return differs_;
    }

private:
    std::vector<Row>& rows_;
    size_t used_ = 0;
    bool differs_ = false;
};

enum class Source {
    Netlink,  // sock_diag dumps, falling back to /proc per table when unavailable
    Proc,     // /proc/net/{tcp,tcp6,udp,udp6} only
};

// The current rows (unsorted, possibly with duplicates). False when the IPv4 table
// could not be read at all; a missing IPv6 table just contributes nothing.
bool ReadTcpTable(Source source, RowsOver<TcpConn>& out);
bool ReadUdpTable(Source source, RowsOver<UdpEndpoint>& out);

// One socket of either family as the kernel reports it, for the tables that carry
// both families and the owning process.
struct Socket {
    uint8_t family;       // AF_INET or AF_INET6
    uint8_t kernelState;  // the kernel's TCP state number (UDP: 1 connected, 7 not)
    int8_t v6only;        // IPv6 sockets: 1 or 0, -1 when the kernel does not say
    uint8_t local[16];    // network byte order; an IPv4 address in the first 4 bytes
    uint8_t remote[16];
    uint16_t localPort;
    uint16_t remotePort;
    uint32_t ifindex;     // the interface the socket is bound to, 0 for none
    uint32_t inode;       // 0 for sockets no descriptor holds (TIME_WAIT, requests)

    bool operator==(const Socket&) const = default;
};

// Every TCP (or UDP) socket of both families. False when the IPv4 sockets could not be
// read at all. The /proc reader cannot tell interface or IPV6_V6ONLY.
bool ReadTcpSockets(Source source, RowsOver<Socket>& out);
bool ReadUdpSockets(Source source, RowsOver<Socket>& out);

// tcpConnState for a kernel TCP state number; 0 for states the MIB has no row for.
inline int32_t TcpConnStateFromKernel(unsigned kernelState) {
    // Index: kernel state (include/net/tcp_states.h); value: tcpConnState.
    static const int32_t map[13] = {
        0,   // unused
        5,   // ESTABLISHED
        3,   // SYN_SENT
        4,   // SYN_RECV
        6,   // FIN_WAIT1
        7,   // FIN_WAIT2
        11,  // TIME_WAIT
        1,   // CLOSE
        8,   // CLOSE_WAIT
        9,   // LAST_ACK
        2,   // LISTEN
        10,  // CLOSING
        4,   // NEW_SYN_RECV: a request socket still in the handshake
    };
    return kernelState < 13 ? map[kernelState] : 0;
}

}  // namespace mib
