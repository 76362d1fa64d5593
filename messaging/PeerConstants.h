#pragma once
// UDP port of the program's own message protocol; the port-name table shows it by the
// program's name.
inline constexpr int PEER_MESSAGE_PORT = 44444;
