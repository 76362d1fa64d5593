#pragma once
#include <string>

#include "monitor/ConnectionRecord.h"
#include "platform/LocalTime.h"
#include "ports/CPortNameTable.h"

inline constexpr int MAX_HISTORY_LINES = 100;
inline constexpr const char* ALARM_CAPTION = "외부 접속 경보";
inline constexpr const char* EVENT_WORD_CONNECT = "<+++연결+++>";
inline constexpr const char* EVENT_WORD_DISCONNECT = "<---단절--->";

// A parsed connection event text.
struct ConnEvent {
    char letter;               // 'C' connect, 'D' disconnect
    char remoteAddress[ADDRESS_TEXT_SIZE];  // dotted IPv4 or IPv6 text, with its zone
    int remotePort;
    int localPort;
};

// Accepts exactly "C|D <address> <port> <port>" (a dotted IPv4 address, or IPv6 with
// an optional zone) with single spaces and ports
// 0..65535; anything else is rejected and out is left untouched.
bool ParseConnEvent(const std::string& text, ConnEvent& out);

// The services whose connections the user chose not to hear of.
struct IgnoreFlags {
    bool http = false;
    bool https = false;
    bool telnet = false;
    bool ftp = false;
    bool pop3 = false;
    bool nntp = false;
    bool netbios = false;
    bool smtp = false;
};

// Whether connections with this remote port are ignored.
bool IsIgnoredPort(const IgnoreFlags& ignore, int remotePort);

// The dated history line (UTF-8), with port names from the table.
std::string FormatHistoryLine(const LocalTime& now, const ConnEvent& event, const CPortNameTable& portNames);
