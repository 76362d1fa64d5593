#pragma once
#include <cstdint>
#include <cstring>

// Room for an address text: an IPv6 address in its shortest form (at most 45
// characters) with a zone ("%" and an interface name of up to 15), and the NUL.
inline constexpr int ADDRESS_TEXT_SIZE = 64;
// Room for a program's name as the agent reports it, cut on a character boundary.
inline constexpr int PROGRAM_NAME_SIZE = 32;

// Who owns a row's socket, as far as the agent could tell.
enum OwnerKind : int32_t {
    OWNER_NOT_READ = 0,  // read from tables that carry no process
    OWNER_NONE,          // no process holds it (time-wait and other closing rows)
    OWNER_HIDDEN,        // a process holds it but cannot be seen (another user's)
    OWNER_SEEN,          // pid and program name are known
};

// One TCP connection or listener, or one UDP endpoint. Fixed-width texts and 32-bit
// integers with no gaps, so that tables are copied and compared as whole blocks.
struct ConnectionRecord {
    char protocol[8];
    char localAddress[ADDRESS_TEXT_SIZE];
    char remoteAddress[ADDRESS_TEXT_SIZE];
    int32_t stateIndex;
    int32_t localPort;
    int32_t remotePort;
    int32_t family;  // 4 or 6: how the addresses are written and shown
    uint32_t pid;    // 0 when no process is known
    int32_t owner;   // OwnerKind
    char program[PROGRAM_NAME_SIZE];
};
static_assert(sizeof(ConnectionRecord) == 8 + 2 * ADDRESS_TEXT_SIZE + 6 * 4 + PROGRAM_NAME_SIZE,
              "ConnectionRecord must have no padding: it is compared as a block");

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
