// The connection list's logic: the change test, the rows it shows and the right-click
// selection.
#include "monitor/ConnectionList.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
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
    char selected[16];
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
    char buffer[32];
    std::memset(buffer, '#', sizeof buffer);
    std::strcpy(buffer, "keep");
    EXPECT_FALSE(SelectionFromRowText("1234567890123456:80", buffer));
    // Only 23 characters are looked at: a colon beyond them is not seen.
    EXPECT_FALSE(SelectionFromRowText(std::string(23, '1') + ":80", buffer));
    EXPECT_FALSE(SelectionFromRowText(std::string(500, '9'), buffer));
    EXPECT_STREQ(buffer, "keep");
    for (size_t i = 16; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], '#');
}
