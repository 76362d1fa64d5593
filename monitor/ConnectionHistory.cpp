#include "monitor/ConnectionHistory.h"

#include <cstdio>
#include <cstring>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads a decimal number of 1..maxDigits digits no larger than maxValue at text[pos].
bool ReadNumber(const std::string& text, size_t& pos, int maxDigits, int maxValue, int& value) {
    size_t start = pos;
    long v = 0;
    while (pos < text.size() && IsDigit(text[pos])) {
        if (static_cast<int>(pos - start) == maxDigits) return false;
        v = v * 10 + (text[pos] - '0');
        ++pos;
    }
    if (pos == start || v > maxValue) return false;
    value = static_cast<int>(v);
    return true;
}

bool IsDottedAddress(const std::string& address) {
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= address.size() || address[pos] != '.') return false;
            ++pos;
        }
        int octet;
        if (!ReadNumber(address, pos, 3, 255, octet)) return false;
    }
    return pos == address.size();
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
    if (address.size() > 15 || !IsDottedAddress(address)) return false;
    pos = space + 1;

    int remotePort, localPort;
    if (!ReadNumber(text, pos, 5, 65535, remotePort) || !ExpectSpace(text, pos) ||
        !ReadNumber(text, pos, 5, 65535, localPort) || pos != text.size())
        return false;

    ConnEvent ev{};
    ev.letter = text[0];
    std::memcpy(ev.remoteAddress, address.data(), address.size());
    ev.remotePort = remotePort;
    ev.localPort = localPort;
    out = ev;
    return true;
}

bool IsIgnoredPort(const MonitorSettings& s, int remotePort) {
    switch (remotePort) {
        case 20:
        case 21: return s.ignoreFtp != 0;
        case 23: return s.ignoreTelnet != 0;
        case 25: return s.ignoreSmtp != 0;
        case 80: return s.ignoreHttp != 0;
        case 110: return s.ignorePop3 != 0;
        case 119: return s.ignoreNntp != 0;
        case 139: return s.ignoreNetbios != 0;
        case 443: return s.ignoreHttps != 0;
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
    std::snprintf(line, sizeof line, "%d년 %d월 %d일 %02d:%02d:%02d - %s %.15s : %s - %s", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, word, ev.remoteAddress, remoteName, localName);
    return line;
}
