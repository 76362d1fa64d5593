#include "monitor/ConnectionList.h"

#include <cstring>

namespace {

const char* const STATE_NAMES[12] = {"Closed",   "Listen",   "SynSent",   "SynReceived", "Established", "FinWait1",
                                     "FinWait2", "CloseWait", "LastAck", "Closing",     "TimeWait",    "DeleteTCB"};

// The record's texts within their buffers, NUL or not.
template <size_t N>
std::string Text(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
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

std::vector<ConnectionRow> BuildConnectionRows(int count, const ConnectionRecord* records, int displayMode,
                                               const CPortNameTable& portNames) {
    std::vector<ConnectionRow> rows;
    if (count <= 0 || !records) return rows;
    rows.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const ConnectionRecord& r = records[i];
        const std::string remote = Text(r.remoteAddress);
        const std::string protocol = Text(r.protocol);
        if (displayMode == 1 && (remote.compare(0, 7, "0.0.0.0") == 0 || remote.compare(0, 3, "*:*") == 0))
            continue;
        ConnectionRow row;
        row.image = ConnectionImage(r);
        row.columns[0] = protocol == "TCP" ? remote + ":" + portNames.PortName(r.remotePort) : remote;
        row.columns[1] = Text(r.localAddress) + ":" + portNames.PortName(r.localPort);
        row.columns[2] = protocol;
        if (!protocol.empty() && protocol[0] == 'T') row.columns[3] = TcpStateName(r.stateIndex);
        rows.push_back(std::move(row));
    }
    return rows;
}

bool SelectionFromRowText(const std::string& column0, char selected[16]) {
    const std::string text = column0.substr(0, 23);
    if (text == "*:*" || text.compare(0, 7, "0.0.0.0") == 0) return false;
    const std::string address = text.substr(0, text.find(':'));
    // An address part longer than 15 characters is no IPv4 address; cutting it would
    // select some other host.
    if (address.empty() || address.size() > 15) return false;
    std::memcpy(selected, address.c_str(), address.size() + 1);
    return true;
}
