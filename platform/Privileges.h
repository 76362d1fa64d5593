#pragma once
// The program's only privileged needs are two sockets: UDP port 138 for LAN messages and
// a raw ICMP socket for pings. Both are opened first thing in main, then every
// capability is given up, so nothing that Qt loads from the environment or the
// arguments (plugins, themes, input methods) ever runs with one. The sockets wait here
// until their users take them; every descriptor is close-on-exec.
#include <cstdint>

// Opens what the process may open of the two sockets, then clears the permitted,
// effective, inheritable and ambient capability sets (and the bounding set where the
// process may change it, so a child started as root gains nothing either) and checks
// that they are empty. A process that keeps a socket is made non-dumpable, so other
// processes of its user cannot trace it to take the socket. False when the sets could
// not be emptied: both sockets are closed again, the reason is on stderr, and the
// program must not go on.
bool OpenPrivilegedSocketsAndDropCapabilities();

// A UDP socket bound to 0.0.0.0:port with SO_REUSEADDR (Samba's nmbd holds port 138
// too; with the option both get the broadcasts), or -1.
int BindSharedUdpPort(uint16_t port);

// The kept port-138 socket, handed over once; -1 when none was opened or it was taken.
int TakeNetbiosDatagramSocket();
// Closes the port-138 socket if nobody took it: a copy that does not receive LAN
// messages does not hold the port.
void ReleaseNetbiosDatagramSocket();

// Whether this process may send an echo request at all: it keeps a raw ICMP socket or
// may open one, or the kernel lets one of its groups open a ping socket
// (net.ipv4.ping_group_range). Opens and closes sockets only; nothing is sent. A
// failure other than a refusal (no descriptor left) does not count against it.
bool IcmpEchoAllowed();

// A raw ICMP socket for one ping, to be closed by the caller: a duplicate of the kept
// one, emptied of what arrived before this call, or else a new one where the process
// may still open it. -1 with errno set on failure.
int OpenRawIcmpSocket();
