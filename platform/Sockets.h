#pragma once
// POSIX sockets need no library start-up; the pair stays so the start-up sequence
// keeps its shape. The version word is the one the program asks for.
inline constexpr int SOCKETS_VERSION = 0x0102;
inline int WSAStartup(int /*version*/) { return 0; }
inline int WSACleanup() { return 0; }
