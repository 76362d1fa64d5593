#include "monitor/ConnectionList.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "platform/TextUtil.h"

namespace {

const char* const STATE_NAMES[12] = {"Closed",   "Listen",   "SynSent",   "SynReceived", "Established", "FinWait1",
                                     "FinWait2", "CloseWait", "LastAck", "Closing",     "TimeWait",    "DeleteTCB"};

// The record's texts within their buffers, NUL or not.
template <size_t N>
std::string Text(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// "addr:port", the address of an IPv6 end in brackets so the port stays apart.
std::string EndText(const char (&address)[ADDRESS_TEXT_SIZE], int32_t family, const std::string& port) {
    return family == 6 ? "[" + Text(address) + "]:" + port : Text(address) + ":" + port;
}

}  // namespace

bool TableChanged(int newCount, const ConnectionRecord* newRecs, int shownCount, const ConnectionRecord* shownRecs) {
    if (newCount != shownCount) return true;
    if (newCount <= 0) return false;
    if (!newRecs || !shownRecs) return newRecs != shownRecs;
    return std::memcmp(newRecs, shownRecs, sizeof(ConnectionRecord) * static_cast<size_t>(newCount)) != 0;
}

const char* TcpStateName(int stateIndex) {
    if (stateIndex < 0 || stateIndex >= 12) return "";
    return STATE_NAMES[stateIndex];
}

int ConnectionImage(const ConnectionRecord& r) {
    int image = IMAGE_PLAIN;
    if (r.stateIndex == STATE_LISTEN)
        image = IMAGE_PLUG;
    else if (Text(r.remoteAddress) == "*:*")
        image = IMAGE_PLUG;
    else if (r.stateIndex == STATE_ESTABLISHED || r.stateIndex == STATE_TIME_WAIT)
        image = IMAGE_LINKED;
    if (r.stateIndex == STATE_CLOSE_WAIT) image = IMAGE_GREEN_DOT;
    return image;
}

bool ShownInMode(const ConnectionRecord& r, int displayMode) {
    if (displayMode != 1) return true;
    const size_t n = strnlen(r.remoteAddress, sizeof r.remoteAddress);
    return !((n >= 7 && std::memcmp(r.remoteAddress, "0.0.0.0", 7) == 0) ||
             (n >= 3 && std::memcmp(r.remoteAddress, "*:*", 3) == 0) ||
             (r.family == 6 && Text(r.remoteAddress) == "::"));
}

std::string ConnectionColumnText(const ConnectionRecord& r, int column, const CPortNameTable& portNames) {
    switch (column) {
    case 0:
        if (Text(r.protocol) != "TCP") return Text(r.remoteAddress);
        return EndText(r.remoteAddress, r.family, portNames.PortName(r.remotePort));
    case 1: return EndText(r.localAddress, r.family, portNames.PortName(r.localPort));
    case 2: return Text(r.protocol);
    case 3: return r.protocol[0] == 'T' ? TcpStateName(r.stateIndex) : "";
    case PROGRAM_COLUMN:
        if (r.owner == OWNER_HIDDEN) return HIDDEN_OWNER_TEXT;
        if (r.owner != OWNER_SEEN) return {};
        return r.program[0] != '\0' ? Text(r.program) : std::to_string(r.pid);
    default: return {};
    }
}

std::string ProgramToolTip(const ConnectionRecord& r) {
    if (r.owner == OWNER_HIDDEN) return HIDDEN_OWNER_TIP;
    return r.owner == OWNER_SEEN ? "PID " + std::to_string(r.pid) : std::string();
}

std::vector<ConnectionRow> BuildConnectionRows(int count, const ConnectionRecord* records, int displayMode,
                                               const CPortNameTable& portNames) {
    std::vector<ConnectionRow> rows;
    if (count <= 0 || !records) return rows;
    rows.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const ConnectionRecord& r = records[i];
        if (!ShownInMode(r, displayMode)) continue;
        ConnectionRow row;
        row.image = ConnectionImage(r);
        for (int c = 0; c < CONNECTION_COLUMNS; ++c) row.columns[c] = ConnectionColumnText(r, c, portNames);
        rows.push_back(std::move(row));
    }
    return rows;
}

bool SelectionFromRowText(const std::string& column0, char (&selected)[ADDRESS_TEXT_SIZE]) {
    std::string address;
    if (!column0.empty() && column0[0] == '[') {
        const size_t close = column0.find(']');
        if (close == std::string::npos) return false;
        address = column0.substr(1, close - 1);
        // The wildcard is a listener's: nobody to act on.
        if (address == "::" || !IsIPv6Text(address)) return false;
    } else {
        const std::string text = column0.substr(0, 23);
        if (text == "*:*" || text.compare(0, 7, "0.0.0.0") == 0) return false;
        address = text.substr(0, text.find(':'));
        // An address part longer than 15 characters is no IPv4 address; cutting it
        // would select some other host.
        if (address.empty() || address.size() > 15) return false;
    }
    std::memcpy(selected, address.c_str(), address.size() + 1);
    return true;
}

namespace {

size_t RowHash(const ConnectionRow& r) {
    size_t h = std::hash<int>()(r.image);
    for (const std::string& c : r.columns) h = h * 1000003u ^ std::hash<std::string>()(c);
    return h;
}

}  // namespace

std::vector<RowChange> DiffConnectionRows(const std::vector<ConnectionRow>& shown,
                                          const std::vector<ConnectionRow>& wanted, int maxEdits) {
    std::vector<size_t> hs, hw;
    hs.reserve(shown.size());
    hw.reserve(wanted.size());
    for (const ConnectionRow& r : shown) hs.push_back(RowHash(r));
    for (const ConnectionRow& r : wanted) hw.push_back(RowHash(r));
    auto same = [&](int x, int y) {
        const auto i = static_cast<size_t>(x), j = static_cast<size_t>(y);
        return hs[i] == hw[j] && shown[i] == wanted[j];
    };
    return DiffRows(static_cast<int>(shown.size()), static_cast<int>(wanted.size()), same, maxEdits);
}

std::vector<RowChange> DiffConnectionRecords(int shownCount, const ConnectionRecord* shown, int wantedCount,
                                             const ConnectionRecord* wanted, int maxEdits) {
    if (!shown) shownCount = 0;
    if (!wanted) wantedCount = 0;
    auto same = [&](int x, int y) { return std::memcmp(&shown[x], &wanted[y], sizeof(ConnectionRecord)) == 0; };
    return DiffRows(std::max(shownCount, 0), std::max(wantedCount, 0), same, maxEdits);
}
