// Connection events as the history handler sees them: parsing, the port filter and the
// history line.
#include "monitor/ConnectionHistory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/TestRecords.h"
#include "monitor/CConnectionTracker.h"
#include "support/TestSupport.h"

namespace {

ConnEvent Event(char letter, const char* address, int remotePort, int localPort) {
    ConnEvent ev{};
    ev.letter = letter;
    std::snprintf(ev.remoteAddress, sizeof ev.remoteAddress, "%s", address);
    ev.remotePort = remotePort;
    ev.localPort = localPort;
    return ev;
}

// A port-name table from a small services file.
struct Names : TestPortNames {
    explicit Names(int show) : TestPortNames("telnet 23/tcp\nblackjack 1025/tcp\n", show) {}
};


}  // namespace

TEST(ConnEventParse, ReadsTheTrackersTexts) {
    ConnEvent ev{};
    ASSERT_TRUE(ParseConnEvent(FormatConnEventText('C', TcpRecord("10.0.0.5", 80, 1047)), ev));
    EXPECT_EQ(ev.letter, 'C');
    EXPECT_STREQ(ev.remoteAddress, "10.0.0.5");
    EXPECT_EQ(ev.remotePort, 80);
    EXPECT_EQ(ev.localPort, 1047);

    ASSERT_TRUE(ParseConnEvent(FormatConnEventText('D', TcpRecord("255.255.255.255", 65535, 0)), ev));
    EXPECT_EQ(ev.letter, 'D');
    EXPECT_STREQ(ev.remoteAddress, "255.255.255.255");
    EXPECT_EQ(ev.remotePort, 65535);
    EXPECT_EQ(ev.localPort, 0);
}

// The longest address text a record holds, an IPv6 one with its zone, makes the road
// whole; a zone that is no interface's name or number is refused.
TEST(ConnEventParse, Ipv6AddressWithItsZoneSurvivesTheRoad) {
    const std::string longest = "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255%" + std::string(15, 'z');
    ConnEvent ev{};
    ASSERT_TRUE(ParseConnEvent(FormatConnEventText('D', TcpRecord(longest.c_str(), 1, 2, 4, "::1")), ev));
    EXPECT_EQ(FormatHistoryLine(LocalTime{2000, 9, 7, 9, 5, 3}, ev, *Names(0).table),
              "2000년 9월 7일 09:05:03 - <---단절---> " + longest + " : 1 - 2");
    for (const char* bad : {"C ::1% 1 2", "C ::1%a%b 1 2", "C ::1%a/b 1 2", "C 1::2::3 1 2", "C [::1] 1 2"})
        EXPECT_FALSE(ParseConnEvent(bad, ev)) << bad;
}

TEST(ConnEventParse, MalformedTextsAreRejectedAndLeaveTheEventAlone) {
    const std::vector<std::string> bad = {
        "",
        "C",
        "C ",
        "X 1.2.3.4 1 2",
        "c 1.2.3.4 1 2",
        "C 1.2.3.4 1",
        "C 1.2.3.4 1 2 ",
        "C 1.2.3.4 1 2 3",
        "C 1.2.3.4 1 2\n",
        "C  1.2.3.4 1 2",
        "C1.2.3.4 1 2",
        "C 1.2.3.4  1 2",
        "C 1.2.3.4 65536 2",
        "C 1.2.3.4 1 65536",
        "C 1.2.3.4 -1 2",
        "C 1.2.3.4 +1 2",
        "C 1.2.3.4 99999999999999999999 2",
        "C 1.2.3.4 1x 2",
        "C 1.2.3 1 2",
        "C 1.2.3.4.5 1 2",
        "C 1.2.3.256 1 2",
        "C 1..3.4 1 2",
        "C 1.2.3.4. 1 2",
        "C 1111.2.3.4 1 2",
        "C host.example 1 2",
        "C " + std::string(300, '1') + " 1 2",
        std::string("C 1.2.3.4 1 2\0 9", 16),
    };
    for (const std::string& text : bad) {
        ConnEvent ev = Event('Z', "untouched", 7, 8);
        EXPECT_FALSE(ParseConnEvent(text, ev)) << text;
        EXPECT_EQ(ev.letter, 'Z');
        EXPECT_STREQ(ev.remoteAddress, "untouched");
        EXPECT_EQ(ev.remotePort, 7);
        EXPECT_EQ(ev.localPort, 8);
    }
}

TEST(HistoryLine, BytesOfConnectAndDisconnectLines) {
    Names names(1);
    const LocalTime t{2000, 9, 7, 9, 5, 3};
    EXPECT_EQ(FormatHistoryLine(t, Event('C', "10.0.0.5", 23, 1025), *names.table),
              "2000\xEB\x85\x84 9\xEC\x9B\x94 7\xEC\x9D\xBC 09:05:03 - "
              "<+++\xEC\x97\xB0\xEA\xB2\xB0+++> 10.0.0.5 : telnet - blackjack");
    EXPECT_EQ(FormatHistoryLine(LocalTime{2001, 12, 31, 23, 59, 0}, Event('D', "10.0.0.5", 23, 4000), *names.table),
              "2001년 12월 31일 23:59:00 - <---단절---> 10.0.0.5 : telnet - 4000");
}

TEST(HistoryLine, PortNamesOffGiveNumbersAndMessagePortShowsTheProgram) {
    Names off(0);
    const LocalTime t{2000, 1, 2, 3, 4, 5};
    EXPECT_EQ(FormatHistoryLine(t, Event('C', "1.2.3.4", 23, 44444), *off.table),
              "2000년 1월 2일 03:04:05 - <+++연결+++> 1.2.3.4 : 23 - 44444");
    Names on(1);
    EXPECT_EQ(FormatHistoryLine(t, Event('C', "1.2.3.4", 44444, 23), *on.table),
              "2000년 1월 2일 03:04:05 - <+++연결+++> 1.2.3.4 : Tolvara - telnet");
}

TEST(HistoryLine, LongestFieldsAreKeptWholeAndAddressStaysInItsBuffer) {
    TestPortNames names(std::string(23, 'a') + " 1/tcp\n" + std::string(23, 'b') + " 2/tcp\n", 1);
    ConnEvent ev = Event('D', "", 1, 2);
    std::memset(ev.remoteAddress, '9', sizeof ev.remoteAddress);  // no NUL at all
    EXPECT_EQ(FormatHistoryLine(LocalTime{2000, 12, 31, 23, 59, 59}, ev, *names.table),
              "2000년 12월 31일 23:59:59 - <---단절---> " + std::string(sizeof ev.remoteAddress, '9') + " : " + std::string(23, 'a') + " - " +
                  std::string(23, 'b'));
}

