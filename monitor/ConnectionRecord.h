#pragma once
#include <cstdint>
#include <cstring>

// One TCP connection or UDP listener. Fixed-width texts so that tables are copied and
// compared as whole blocks.
struct ConnectionRecord {
    char protocol[8];
    char localAddress[32];
    char remoteAddress[32];
    int32_t stateIndex;
    int32_t localPort;
    int32_t remotePort;
};
static_assert(sizeof(ConnectionRecord) == 84, "ConnectionRecord must stay 84 bytes");

// Bounds a table read, the displayed table and the tracker's slots. Far above what a
// desktop holds, so the connections to and from the LAN address, which sort last,
// are never the ones cut; the tables grow to it only as rows arrive.
inline constexpr int MAX_CONNECTIONS = 65536;

// tcpConnState minus one.
enum TcpStateIndex : int32_t {
    STATE_CLOSED = 0, STATE_LISTEN, STATE_SYN_SENT, STATE_SYN_RECEIVED, STATE_ESTABLISHED,
    STATE_FIN_WAIT1, STATE_FIN_WAIT2, STATE_CLOSE_WAIT, STATE_LAST_ACK, STATE_CLOSING,
    STATE_TIME_WAIT, STATE_DELETE_TCB
};
