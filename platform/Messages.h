#pragma once
// Numbers of the messages that workers and the tray post to windows; a posted event
// carries one of them.
inline constexpr int WM_USER = 0x0400;
inline constexpr int WM_PING_RESULT = WM_USER + 10;   // 1034
inline constexpr int WM_PEER_MESSAGE = WM_USER + 11;  // 1035
inline constexpr int WM_WHOIS_DONE = WM_USER + 12;    // 1036
inline constexpr int WM_CONN_EVENT = WM_USER + 13;    // 1037
inline constexpr int WM_TRAY_NOTIFY = WM_USER + 15;   // 1039
