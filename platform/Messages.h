#pragma once
// Window message numbers kept from the original message map; posted events carry them.
inline constexpr int WM_USER = 0x0400;
inline constexpr int WM_PING_RESULT = WM_USER + 10;   // 1034
inline constexpr int WM_PEER_MESSAGE = WM_USER + 11;  // 1035
inline constexpr int WM_WHOIS_DONE = WM_USER + 12;    // 1036
inline constexpr int WM_CONN_EVENT = WM_USER + 13;    // 1037
inline constexpr int WM_TRAY_NOTIFY = WM_USER + 15;   // 1039

inline constexpr int WM_LBUTTONDOWN = 0x0201;    // 513
inline constexpr int WM_LBUTTONDBLCLK = 0x0203;  // 515
inline constexpr int WM_RBUTTONDOWN = 0x0204;    // 516

inline constexpr int TIMER_REFRESH = 4444;
inline constexpr int TIMER_MAILSLOT = 4445;

// Message-box styles that the program uses.
inline constexpr unsigned MB_OK = 0x0;
inline constexpr unsigned MB_ICONEXCLAMATION = 0x30;
inline constexpr unsigned MB_TOPMOST = 0x40000;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
