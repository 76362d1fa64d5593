#pragma once
// The kernel's IPv4 TCP and UDP tables, as the agent serves them. IPv6 sockets whose
// addresses are IPv4-mapped (::ffff:a.b.c.d) count as IPv4 rows: dual-stack servers
// hold their IPv4 clients that way. A listener or UDP socket bound to :: that is not
// IPv6-only takes IPv4 too, so it counts as a 0.0.0.0 row; only sock_diag says which
// those are, so the /proc reader leaves them out.
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

enum class Source {
    Netlink,  // sock_diag dumps, falling back to /proc per table when unavailable
    Proc,     // /proc/net/{tcp,tcp6,udp,udp6} only
};

// Append the current rows (unsorted, possibly with duplicates). False when the IPv4
// table could not be read at all; a missing IPv6 table just contributes nothing.
bool ReadTcpTable(Source source, std::vector<TcpConn>& out);
bool ReadUdpTable(Source source, std::vector<UdpEndpoint>& out);

// tcpConnState for a kernel TCP state number; 0 for states the MIB has no row for.
int32_t TcpConnStateFromKernel(unsigned kernelState);

}  // namespace mib
