#include "monitor/ConnectionList.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <functional>

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

namespace {

size_t RowHash(const ConnectionRow& r) {
    size_t h = std::hash<int>()(r.image);
    for (const std::string& c : r.columns) h = h * 1000003u ^ std::hash<std::string>()(c);
    return h;
}

// Myers' shortest edit script over two row sequences that differ in their first and
// in their last row, found by a greedy search of at most `limit` edits.
class EditSearch {
public:
    EditSearch(const ConnectionRow* a, int n, const ConnectionRow* b, int m) : a_(a), b_(b), n_(n), m_(m) {
        ha_.reserve(static_cast<size_t>(n));
        hb_.reserve(static_cast<size_t>(m));
        for (int i = 0; i < n; ++i) ha_.push_back(RowHash(a[i]));
        for (int i = 0; i < m; ++i) hb_.push_back(RowHash(b[i]));
    }

    // The runs of equal rows (first in a, first in b, length) of a shortest script, in
    // order; false when every script needs more than limit edits.
    bool Matches(int limit, std::vector<std::array<int, 3>>& runs) {
        if (std::abs(n_ - m_) > limit) return false;
        std::vector<std::vector<int>> rounds;  // furthest x on each diagonal -d..d after d edits; -1 none
        rounds.push_back({Snake(0, 0)});
        int found = (rounds[0][0] == n_ && n_ == m_) ? 0 : -1;
        for (int d = 1; found < 0 && d <= limit; ++d) {
            std::vector<int> cur(static_cast<size_t>(2 * d + 1), -1);
            for (int k = -d; k <= d; k += 2) {
                int from;
                int x = Step(rounds.back(), k, d, from);
                if (x < 0) continue;
                x = Snake(x, x - k);
                cur[static_cast<size_t>(k + d)] = x;
                if (x == n_ && x - k == m_) found = d;
            }
            rounds.push_back(std::move(cur));
        }
        if (found < 0) return false;

        int x = n_, y = m_;
        for (int d = found; d > 0; --d) {
            const int k = x - y;
            int from;
            Step(rounds[static_cast<size_t>(d - 1)], k, d, from);
            const int px = rounds[static_cast<size_t>(d - 1)][static_cast<size_t>(from + d - 1)];
            const int startX = from == k + 1 ? px : px + 1;
            if (x > startX) runs.push_back({startX, startX - k, x - startX});
            x = px;
            y = px - from;
        }
        if (x > 0) runs.push_back({0, 0, x});
        std::reverse(runs.begin(), runs.end());
        return true;
    }

private:
    bool Same(int x, int y) const {
        return ha_[static_cast<size_t>(x)] == hb_[static_cast<size_t>(y)] && a_[x] == b_[y];
    }
    int Snake(int x, int y) const {
        while (x < n_ && y < m_ && Same(x, y)) ++x, ++y;
        return x;
    }
    // The furthest x on diagonal k with one edit more than prev holds, before its run
    // of equal rows, and the diagonal it comes from; -1 when no path inside the grid
    // reaches the diagonal.
    int Step(const std::vector<int>& prev, int k, int d, int& from) const {
        int best = -1;
        from = k;
        auto at = [&](int diagonal) { return prev[static_cast<size_t>(diagonal + d - 1)]; };
        if (k + 1 <= d - 1 && at(k + 1) >= 0 && at(k + 1) - k <= m_) {  // one more wanted row
            best = at(k + 1);
            from = k + 1;
        }
        if (k - 1 >= -(d - 1) && at(k - 1) >= 0 && at(k - 1) + 1 <= n_ && at(k - 1) + 1 > best) {  // one shown row less
            best = at(k - 1) + 1;
            from = k - 1;
        }
        return best;
    }

    const ConnectionRow* a_;
    const ConnectionRow* b_;
    int n_, m_;
    std::vector<size_t> ha_, hb_;
};

}  // namespace

std::vector<RowChange> DiffConnectionRows(const std::vector<ConnectionRow>& shown,
                                          const std::vector<ConnectionRow>& wanted, int maxEdits) {
    const int n0 = static_cast<int>(shown.size()), m0 = static_cast<int>(wanted.size());
    int head = 0;
    while (head < n0 && head < m0 && shown[static_cast<size_t>(head)] == wanted[static_cast<size_t>(head)]) ++head;
    int tail = 0;
    while (tail < n0 - head && tail < m0 - head &&
           shown[static_cast<size_t>(n0 - 1 - tail)] == wanted[static_cast<size_t>(m0 - 1 - tail)])
        ++tail;
    const int n = n0 - head - tail, m = m0 - head - tail;
    if (n == 0 && m == 0) return {};
    const RowChange whole{head, n, head, m};
    if (n == 0 || m == 0) return {whole};

    std::vector<std::array<int, 3>> runs;
    EditSearch search(shown.data() + head, n, wanted.data() + head, m);
    if (!search.Matches(maxEdits, runs)) return {whole};
    std::vector<RowChange> changes;
    int x = 0, y = 0;
    runs.push_back({n, m, 0});  // closes the last gap
    for (const auto& [rx, ry, length] : runs) {
        if (rx > x || ry > y) changes.push_back({head + x, rx - x, head + y, ry - y});
        x = rx + length;
        y = ry + length;
    }
    return changes;
}
