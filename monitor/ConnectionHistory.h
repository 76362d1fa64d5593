#pragma once
#include <string>

#include "app/MonitorSettings.h"
#include "platform/LocalTime.h"
#include "ports/CPortNameTable.h"

inline constexpr int MAX_HISTORY_LINES = 100;
inline constexpr const char* ALARM_CAPTION = "외부 접속 경보";
inline constexpr const char* EVENT_WORD_CONNECT = "<+++연결+++>";
inline constexpr const char* EVENT_WORD_DISCONNECT = "<---단절--->";

// A parsed connection event text.
struct ConnEvent {
    char letter;               // 'C' connect, 'D' disconnect
    char remoteAddress[16];    // dotted IPv4 address
    int remotePort;
    int localPort;
};

// Accepts exactly "C|D <dotted address> <port> <port>" with single spaces and ports
// 0..65535; anything else is rejected and out is left untouched.
bool ParseConnEvent(const std::string& text, ConnEvent& out);

// Whether the user chose not to hear of connections with this remote port.
bool IsIgnoredPort(const MonitorSettings& settings, int remotePort);

// The dated history line (UTF-8), with port names from the table.
std::string FormatHistoryLine(const LocalTime& now, const ConnEvent& event, const CPortNameTable& portNames);
