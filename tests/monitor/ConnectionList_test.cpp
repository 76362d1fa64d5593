// The connection list's logic: the change test, the rows it shows and the right-click
// selection.
#include "monitor/ConnectionList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/TestRecords.h"
#include "support/TestSupport.h"

namespace {

struct Names : TestPortNames {
    explicit Names(int show) : TestPortNames("http 80/tcp\ndomain 53/udp\n", show) {}
};

std::vector<ConnectionRecord> MixedTable() {
    return {
        TcpRecord("0.0.0.0", 0, 80, STATE_LISTEN, "0.0.0.0"),
        TcpRecord("10.0.0.5", 80, 1047, STATE_ESTABLISHED),
        TcpRecord("10.0.0.6", 443, 1048, STATE_TIME_WAIT),
        TcpRecord("10.0.0.7", 22, 1049, STATE_CLOSE_WAIT),
        TcpRecord("10.0.0.8", 25, 1050, STATE_SYN_SENT),
        UdpRecord(53),
    };
}

std::vector<ConnectionRow> Rows(const std::vector<ConnectionRecord>& table, int mode, const CPortNameTable& names) {
    return BuildConnectionRows(static_cast<int>(table.size()), table.data(), mode, names);
}

}  // namespace

TEST(ConnectionListChange, ComparesCountAndWholeRecords) {
    std::vector<ConnectionRecord> a = MixedTable();
    std::vector<ConnectionRecord> b = a;
    EXPECT_FALSE(TableChanged(6, a.data(), 6, b.data()));
    EXPECT_FALSE(TableChanged(0, a.data(), 0, b.data()));
    EXPECT_FALSE(TableChanged(0, nullptr, 0, nullptr));
    // The last record vanishes.
    EXPECT_TRUE(TableChanged(5, a.data(), 6, b.data()));
    // Nothing read while records are shown.
    EXPECT_TRUE(TableChanged(0, a.data(), 6, b.data()));
    // A byte behind the NUL of a text buffer counts too.
    b[5].remoteAddress[31] = 'x';
    EXPECT_TRUE(TableChanged(6, a.data(), 6, b.data()));
    b = a;
    b[0].localPort = 81;
    EXPECT_TRUE(TableChanged(6, a.data(), 6, b.data()));
}

TEST(ConnectionListRows, ColumnsAndImagesOfEachKindOfRow) {
    Names names(1);
    const std::vector<ConnectionRow> rows = Rows(MixedTable(), 0, *names.table);
    ASSERT_EQ(rows.size(), 6u);
    struct Expected {
        int image;
        const char* columns[4];
    };
    const Expected expected[6] = {
        {1, {"0.0.0.0:0", "0.0.0.0:http", "TCP", "Listen"}},
        {2, {"10.0.0.5:http", "192.168.0.2:1047", "TCP", "Established"}},
        {2, {"10.0.0.6:443", "192.168.0.2:1048", "TCP", "TimeWait"}},
        {3, {"10.0.0.7:22", "192.168.0.2:1049", "TCP", "CloseWait"}},
        {0, {"10.0.0.8:25", "192.168.0.2:1050", "TCP", "SynSent"}},
        {1, {"*:*", "0.0.0.0:domain", "UDP", ""}},
    };
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(rows[i].image, expected[i].image) << "row " << i;
        for (int c = 0; c < 4; ++c) EXPECT_EQ(rows[i].columns[c], expected[i].columns[c]) << "row " << i;
    }
}

TEST(ConnectionListRows, ImageRulesInTheirOrder) {
    // Listen wins over everything but close-wait; "*:*" counts as UDP only when exact.
    ConnectionRecord udpCloseWait = UdpRecord(9);
    udpCloseWait.stateIndex = STATE_CLOSE_WAIT;
    EXPECT_EQ(ConnectionImage(udpCloseWait), 3);
    EXPECT_EQ(ConnectionImage(TcpRecord("*:*", 0, 1, STATE_ESTABLISHED)), 1);
    EXPECT_EQ(ConnectionImage(TcpRecord("*:*x", 0, 1, STATE_ESTABLISHED)), 2);
    EXPECT_EQ(ConnectionImage(TcpRecord("1.2.3.4", 0, 1, STATE_CLOSED)), 0);
    EXPECT_EQ(ConnectionImage(TcpRecord("1.2.3.4", 0, 1, STATE_LAST_ACK)), 0);
}

TEST(ConnectionListRows, ConnectedOnlyModeLeavesOutListenersAndUdp) {
    Names names(0);
    std::vector<ConnectionRecord> table = MixedTable();
    table.push_back(TcpRecord("0.0.0.0", 0, 22, STATE_CLOSED));
    const std::vector<ConnectionRow> rows = Rows(table, 1, *names.table);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].columns[0], "10.0.0.5:80");
    EXPECT_EQ(rows[1].columns[0], "10.0.0.6:443");
    EXPECT_EQ(rows[2].columns[0], "10.0.0.7:22");
    EXPECT_EQ(rows[3].columns[0], "10.0.0.8:25");
    EXPECT_TRUE(BuildConnectionRows(0, table.data(), 0, *names.table).empty());
    EXPECT_TRUE(BuildConnectionRows(-3, table.data(), 0, *names.table).empty());
}

TEST(ConnectionListRows, StateColumnOnlyForTcpAndKnownStates) {
    Names names(0);
    ConnectionRecord odd = TcpRecord("1.2.3.4", 5, 6, 12);
    ConnectionRecord negative = TcpRecord("1.2.3.4", 5, 6, -1);
    ConnectionRecord other = TcpRecord("1.2.3.4", 5, 6, STATE_ESTABLISHED);
    std::snprintf(other.protocol, sizeof other.protocol, "ICMP");
    const std::vector<ConnectionRow> rows = Rows({odd, negative, other}, 0, *names.table);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].columns[3], "");
    EXPECT_EQ(rows[1].columns[3], "");
    EXPECT_EQ(rows[2].columns[3], "");
    EXPECT_EQ(rows[2].columns[0], "1.2.3.4");
    EXPECT_STREQ(TcpStateName(0), "Closed");
    EXPECT_STREQ(TcpStateName(11), "DeleteTCB");
    EXPECT_STREQ(TcpStateName(12), "");
}

TEST(ConnectionListSelection, AddressBeforeTheColonOrNothing) {
    char selected[ADDRESS_TEXT_SIZE];
    std::strcpy(selected, "keep");
    EXPECT_FALSE(SelectionFromRowText("*:*", selected));
    EXPECT_FALSE(SelectionFromRowText("0.0.0.0:0", selected));
    EXPECT_FALSE(SelectionFromRowText("0.0.0.0:http", selected));
    EXPECT_FALSE(SelectionFromRowText("", selected));
    EXPECT_FALSE(SelectionFromRowText(":80", selected));
    EXPECT_STREQ(selected, "keep");

    EXPECT_TRUE(SelectionFromRowText("10.0.0.5:http", selected));
    EXPECT_STREQ(selected, "10.0.0.5");
    EXPECT_TRUE(SelectionFromRowText("255.255.255.255:65535", selected));
    EXPECT_STREQ(selected, "255.255.255.255");
    EXPECT_TRUE(SelectionFromRowText("1.2.3.4", selected));
    EXPECT_STREQ(selected, "1.2.3.4");

}

TEST(ConnectionListSelection, LongTextsNeverOverflowTheSelection) {
    char buffer[ADDRESS_TEXT_SIZE];
    std::memset(buffer, '#', sizeof buffer);
    std::strcpy(buffer, "keep");
    EXPECT_FALSE(SelectionFromRowText("1234567890123456:80", buffer));
    // Only 23 characters are looked at: a colon beyond them is not seen.
    EXPECT_FALSE(SelectionFromRowText(std::string(23, '1') + ":80", buffer));
    EXPECT_FALSE(SelectionFromRowText(std::string(500, '9'), buffer));
    EXPECT_STREQ(buffer, "keep");
    for (size_t i = 16; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], '#');
}

namespace {

ConnectionRow Row(const std::string& remote, const std::string& state = "Established") {
    ConnectionRow r;
    r.image = 2;
    r.columns[0] = remote;
    r.columns[1] = "192.168.0.2:1047";
    r.columns[2] = "TCP";
    r.columns[3] = state;
    return r;
}

// Plays the changes on the shown rows as the list does: each at its wanted position,
// where the rows it names must stand. Counts the rows inserted and removed.
std::vector<ConnectionRow> Apply(const std::vector<ConnectionRow>& shown, const std::vector<ConnectionRow>& wanted,
                                 const std::vector<RowChange>& changes, int& cost) {
    std::vector<ConnectionRow> list = shown;
    for (const RowChange& c : changes) {
        const auto at = list.begin() + c.wantedFirst;
        EXPECT_TRUE(std::equal(shown.begin() + c.shownFirst, shown.begin() + c.shownFirst + c.shownCount, at));
        list.erase(at, at + c.shownCount);
        list.insert(list.begin() + c.wantedFirst, wanted.begin() + c.wantedFirst,
                    wanted.begin() + c.wantedFirst + c.wantedCount);
        cost += c.shownCount + c.wantedCount;
    }
    return list;
}

}  // namespace

TEST(ConnectionListDiff, ChangesAreTheFewestInsertedAndRemovedRows) {
    const std::vector<ConnectionRow> shown = {Row("a"), Row("b"), Row("c"), Row("d"), Row("e")};
    EXPECT_TRUE(DiffConnectionRows(shown, shown).empty());
    // A row in at the head and one out at the tail: no shifted row between is named.
    const std::vector<ConnectionRow> wanted = {Row("0"), Row("a"), Row("b"), Row("c"), Row("d")};
    EXPECT_EQ(DiffConnectionRows(shown, wanted), (std::vector<RowChange>{{0, 0, 0, 1}, {4, 1, 5, 0}}));

    std::mt19937 rng(7);
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    for (int round = 0; round < 300; ++round) {
        // Odd rounds draw from few texts, so that equal rows repeat.
        std::vector<ConnectionRow> from;
        for (int i = pick(60); i > 0; --i) from.push_back(Row(std::to_string(pick(round % 2 ? 6 : 1000))));
        std::vector<ConnectionRow> to = from;
        int edits = 0;  // rows inserted plus rows removed
        for (int e = pick(8); e > 0; --e, ++edits) {
            const int size = static_cast<int>(to.size());
            if (size == 0 || pick(3) == 0) {
                to.insert(to.begin() + pick(size + 1), Row("new"));
            } else if (pick(2)) {
                to.erase(to.begin() + pick(size));
            } else {
                to[static_cast<size_t>(pick(size))].columns[3] = "Closing";
                ++edits;
            }
        }
        int cost = 0;
        EXPECT_EQ(Apply(from, to, DiffConnectionRows(from, to), cost), to) << "round " << round;
        EXPECT_LE(cost, edits) << "round " << round;
    }
}

TEST(ConnectionListDiff, BeyondTheEditBoundOneChangeCoversTheMiddle) {
    std::vector<ConnectionRow> shown = {Row("head")}, wanted = {Row("head")};
    for (int i = 0; i < 40; ++i) {
        shown.push_back(Row("s" + std::to_string(i)));
        wanted.push_back(Row("w" + std::to_string(i)));
    }
    shown.push_back(Row("tail"));
    wanted.push_back(Row("tail"));
    const std::vector<RowChange> changes = DiffConnectionRows(shown, wanted, 10);
    EXPECT_EQ(changes, (std::vector<RowChange>{{1, 40, 1, 40}}));
    int cost = 0;
    EXPECT_EQ(Apply(shown, wanted, changes, cost), wanted);
    EXPECT_EQ(DiffConnectionRows({}, shown), (std::vector<RowChange>{{0, 0, 0, 42}}));
    EXPECT_EQ(DiffConnectionRows(shown, {}), (std::vector<RowChange>{{0, 42, 0, 0}}));
}
