#pragma once
#include <algorithm>
#include <array>
#include <cstdlib>
#include <vector>

// A stretch of shown rows replaced by a stretch of wanted rows. Changes come in list
// order and are applied in that order, each at list position wantedFirst: by then the
// rows before it already are the wanted ones.
struct RowChange {
    int shownFirst = 0;
    int shownCount = 0;
    int wantedFirst = 0;
    int wantedCount = 0;
    bool operator==(const RowChange&) const = default;
};

namespace row_diff {

// Myers' shortest edit script over two sequences that differ in their first and in
// their last element, found by a greedy search of at most `limit` edits. same(x, y)
// tells whether shown element x equals wanted element y.
template <class Same>
class EditSearch {
public:
    EditSearch(int n, int m, const Same& same) : n_(n), m_(m), same_(same) {}

    // The runs of equal elements (first shown, first wanted, length) of a shortest
    // script, in order; false when every script needs more than limit edits.
    bool Matches(int limit, std::vector<std::array<int, 3>>& runs) const {
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
    int Snake(int x, int y) const {
        while (x < n_ && y < m_ && same_(x, y)) ++x, ++y;
        return x;
    }
    // The furthest x on diagonal k with one edit more than prev holds, before its run
    // of equal elements, and the diagonal it comes from; -1 when no path inside the
    // grid reaches the diagonal.
    int Step(const std::vector<int>& prev, int k, int d, int& from) const {
        int best = -1;
        from = k;
        auto at = [&](int diagonal) { return prev[static_cast<size_t>(diagonal + d - 1)]; };
        if (k + 1 <= d - 1 && at(k + 1) >= 0 && at(k + 1) - k <= m_) {  // one more wanted element
            best = at(k + 1);
            from = k + 1;
        }
        if (k - 1 >= -(d - 1) && at(k - 1) >= 0 && at(k - 1) + 1 <= n_ && at(k - 1) + 1 > best) {  // one shown less
            best = at(k - 1) + 1;
            from = k - 1;
        }
        return best;
    }

    int n_, m_;
    const Same& same_;
};

}  // namespace row_diff

// The changes that turn n shown elements into m wanted ones; every element outside
// them stays as it is. They are the fewest inserted and removed elements while those
// number at most maxEdits; beyond that, one change covers everything between the
// common head and tail.
template <class Same>
std::vector<RowChange> DiffRows(int n0, int m0, const Same& same, int maxEdits) {
    int head = 0;
    while (head < n0 && head < m0 && same(head, head)) ++head;
    int tail = 0;
    while (tail < n0 - head && tail < m0 - head && same(n0 - 1 - tail, m0 - 1 - tail)) ++tail;
    const int n = n0 - head - tail, m = m0 - head - tail;
    if (n == 0 && m == 0) return {};
    const RowChange whole{head, n, head, m};
    if (n == 0 || m == 0) return {whole};

    auto inner = [&](int x, int y) { return same(head + x, head + y); };
    std::vector<std::array<int, 3>> runs;
    if (!row_diff::EditSearch<decltype(inner)>(n, m, inner).Matches(maxEdits, runs)) return {whole};
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
