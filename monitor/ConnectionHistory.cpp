#include "monitor/ConnectionHistory.h"

#include <cstdio>
#include <cstring>

#include "platform/TextUtil.h"

namespace {

// A port of the event text: one to five digits, at most 65535.
bool ReadPort(const std::string& text, size_t& pos, int& port) {
    int64_t v;
    if (!ReadDecimal(text, pos, DecimalRule{0, 65535, false, false, 5}, v)) return false;
    port = static_cast<int>(v);
    return true;
}

bool ExpectSpace(const std::string& text, size_t& pos) {
    if (pos >= text.size() || text[pos] != ' ') return false;
    ++pos;
    return true;
}

}  // namespace

bool ParseConnEvent(const std::string& text, ConnEvent& out) {
    if (text.size() < 2 || (text[0] != 'C' && text[0] != 'D')) return false;
    size_t pos = 1;
    if (!ExpectSpace(text, pos)) return false;

    const size_t space = text.find(' ', pos);
    if (space == std::string::npos) return false;
    const std::string address = text.substr(pos, space - pos);
    if (!IsDottedIPv4(address) && !IsIPv6Text(address)) return false;
    pos = space + 1;

    int remotePort, localPort;
    if (!ReadPort(text, pos, remotePort) || !ExpectSpace(text, pos) || !ReadPort(text, pos, localPort) ||
        pos != text.size())
        return false;

    ConnEvent ev{};
    ev.letter = text[0];
    std::memcpy(ev.remoteAddress, address.data(), address.size());
    ev.remotePort = remotePort;
    ev.localPort = localPort;
    out = ev;
    return true;
}

bool IsIgnoredPort(const IgnoreFlags& ignore, int remotePort) {
    switch (remotePort) {
        case 20:
        case 21: return ignore.ftp;
        case 23: return ignore.telnet;
        case 25: return ignore.smtp;
        case 80: return ignore.http;
        case 110: return ignore.pop3;
        case 119: return ignore.nntp;
        case 139: return ignore.netbios;
        case 443: return ignore.https;
        default: return false;
    }
}

std::string FormatHistoryLine(const LocalTime& t, const ConnEvent& ev, const CPortNameTable& portNames) {
    char remoteName[PORT_NAME_SIZE];
    char localName[PORT_NAME_SIZE];
    portNames.GetPortName(ev.remotePort, remoteName);
    portNames.GetPortName(ev.localPort, localName);
    const char* word = ev.letter == 'C' ? EVENT_WORD_CONNECT : EVENT_WORD_DISCONNECT;
    char line[1024];
    std::snprintf(line, sizeof line, "%d년 %d월 %d일 %02d:%02d:%02d - %s %.*s : %s - %s", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, word, static_cast<int>(sizeof ev.remoteAddress), ev.remoteAddress,
                  remoteName, localName);
    return line;
}
