// The table walk against a scripted agent: a small in-memory MIB view whose requests
// can be made to fail one by one.
#include "monitor/CNetTableAgent.h"
#include "support/FakeAgent.h"
#include "support/TestRecords.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace {

// The tests script the table view directly; kTcpEntry is the tcpConnTable entry.
const Oid& kTcpEntry = kTcpConnEntry;

Oid Column(const Oid& entry, uint32_t column, const std::vector<uint32_t>& instance) {
    return MibColumn(entry, column, instance);
}

using Request = FakeRequest;
using Forced = FakeForced;
FakeValue Int(int32_t n) { return FakeInt(n); }
FakeValue Ip(std::vector<uint8_t> bytes) { return FakeIp(std::move(bytes)); }

// The GETNEXT requests that find no table of both families before the older ones are read.
constexpr size_t kProbes = 3;

ConnectionRecord Record(const char* protocol, const char* local, int32_t lport, const char* remote,
                        int32_t rport, int32_t stateIndex) {
    ConnectionRecord r;
    std::memset(&r, 0, sizeof r);
    std::strcpy(r.protocol, protocol);
    std::strcpy(r.localAddress, local);
    std::strcpy(r.remoteAddress, remote);
    r.stateIndex = stateIndex;
    r.localPort = lport;
    r.remotePort = rport;
    r.family = 4;
    return r;
}

// Records compare as whole blocks downstream, so padding counts too.
void ExpectRecord(const ConnectionRecord& actual, const ConnectionRecord& expected) {
    EXPECT_EQ(0, std::memcmp(&actual, &expected, sizeof expected))
        << actual.protocol << " " << actual.localAddress << ":" << actual.localPort << " "
        << actual.remoteAddress << ":" << actual.remotePort << " state " << actual.stateIndex;
}

bool IsUnder(const Oid& name, const Oid& prefix) {
    return name.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), name.begin());
}

class NetTableAgentTest : public ::testing::Test {
protected:
    void SetUp() override { TheFakeAgent() = FakeAgent{}; }
    void TearDown() override { TheFakeAgent() = FakeAgent{}; }

    // Three TCP rows (listener, established, time-wait) and two UDP listeners.
    void AddSmallTables() {
        script.AddTcp(2, {0, 0, 0, 0}, 135, {0, 0, 0, 0}, 0);
        script.AddTcp(5, {192, 168, 0, 1}, 1025, {10, 1, 2, 3}, 80);
        script.AddTcp(11, {192, 168, 0, 1}, 1026, {10, 1, 2, 3}, 443);
        script.AddUdp({0, 0, 0, 0}, 137);
        script.AddUdp({127, 0, 0, 1}, 44444);
    }

    FakeAgent& script = TheFakeAgent();
    CNetTableAgent agent{FakeAgentInit, FakeAgentQuery};
};

TEST_F(NetTableAgentTest, ReadsBothTablesIntoRecords) {
    AddSmallTables();
    ASSERT_TRUE(agent.Initialize());
    EXPECT_EQ(0, agent.ReadTables());
    ASSERT_EQ(5, agent.GetRecordCount());
    ExpectRecord(agent.records[0], Record("TCP", "0.0.0.0", 135, "0.0.0.0", 0, STATE_LISTEN));
    ExpectRecord(agent.records[1], Record("TCP", "192.168.0.1", 1025, "10.1.2.3", 80, STATE_ESTABLISHED));
    ExpectRecord(agent.records[2], Record("TCP", "192.168.0.1", 1026, "10.1.2.3", 443, STATE_TIME_WAIT));
    ExpectRecord(agent.records[3], Record("UDP", "0.0.0.0", 137, "*:*", 0, -1));
    ExpectRecord(agent.records[4], Record("UDP", "127.0.0.1", 44444, "*:*", 0, -1));

    // The tables of both families are asked for first (one GETNEXT each finds none),
    // then two requests per row and one closing GETNEXT per table: the walk's whole cost.
    EXPECT_EQ(kProbes + 2u * 5 + 2, script.requests.size());
    const Request& firstGet = script.requests[kProbes + 1];
    EXPECT_EQ(SNMP_PDU_GET, firstGet.pdu);
    ASSERT_EQ(5u, firstGet.names.size());
    for (uint32_t c = 0; c < 5; ++c) {
        EXPECT_EQ(Column(kTcpEntry, c + 1, {0, 0, 0, 0, 135, 0, 0, 0, 0, 0}), firstGet.names[c]);
    }
}

TEST_F(NetTableAgentTest, ListenerRemotePortIsZeroWhateverTheAgentSays) {
    script.AddTcp(2, {0, 0, 0, 0}, 21, {0, 0, 0, 0}, 4711);
    script.AddTcp(5, {127, 0, 0, 1}, 21, {0, 0, 0, 1}, 4712);
    ASSERT_TRUE(agent.Initialize());
    EXPECT_EQ(0, agent.ReadTables());
    ASSERT_EQ(2, agent.GetRecordCount());
    EXPECT_EQ(0, agent.records[0].remotePort);
    EXPECT_EQ(4712, agent.records[1].remotePort);  // one non-zero byte is a remote end
    EXPECT_STREQ("0.0.0.1", agent.records[1].remoteAddress);
}

TEST_F(NetTableAgentTest, HundredRecordsAtMostAndAFullTcpTableLeavesNoRoomForUdp) {
    for (int i = 0; i < 130; ++i) {
        script.AddTcp(5, {10, 0, static_cast<uint8_t>(i / 200), static_cast<uint8_t>(i % 200)}, 1000 + i,
               {10, 9, 9, 9}, 80);
    }
    script.AddUdp({0, 0, 0, 0}, 53);
    agent.SetRecordLimit(100);  // the read stops at its bound, whatever the bound
    ASSERT_TRUE(agent.Initialize());
    EXPECT_EQ(0, agent.ReadTables());
    ASSERT_EQ(100, agent.GetRecordCount());
    for (int i = 0; i < 100; ++i) {
        EXPECT_STREQ("TCP", agent.records[i].protocol);
        EXPECT_EQ(1000 + i, agent.records[i].localPort);
    }
    const Oid udpTable = {1, 3, 6, 1, 2, 1, 7, 5};
    for (const Request& r : script.requests) EXPECT_FALSE(IsUnder(r.names[0], udpTable));
    EXPECT_EQ(kProbes + 200u, script.requests.size());
}

TEST_F(NetTableAgentTest, TcpRowsFillTheLimitBeforeUdpRows) {
    for (int i = 0; i < 98; ++i) script.AddTcp(2, {0, 0, 0, 0}, 2000 + i, {0, 0, 0, 0}, 0);
    for (int i = 0; i < 5; ++i) script.AddUdp({0, 0, 0, 0}, 3000 + i);
    agent.SetRecordLimit(100);  // the read stops at its bound, whatever the bound
    ASSERT_TRUE(agent.Initialize());
    EXPECT_EQ(0, agent.ReadTables());
    ASSERT_EQ(100, agent.GetRecordCount());
    EXPECT_STREQ("TCP", agent.records[97].protocol);
    ExpectRecord(agent.records[98], Record("UDP", "0.0.0.0", 3000, "*:*", 0, -1));
    ExpectRecord(agent.records[99], Record("UDP", "0.0.0.0", 3001, "*:*", 0, -1));
}

TEST_F(NetTableAgentTest, FailingTcpWalkStillReadsUdpAndReportsTheTcpFailure) {
    AddSmallTables();
    // The third GETNEXT of the TCP walk is not carried out.
    int tcpNexts = 0;
    script.force = [&](const Request& r, size_t) -> std::optional<Forced> {
        if (r.pdu == SNMP_PDU_GETNEXT && IsUnder(r.names[0], {1, 3, 6, 1, 2, 1, 6, 13}) && ++tcpNexts == 3) {
            return Forced{false, 5, 1};
        }
        return std::nullopt;
    };
    ASSERT_TRUE(agent.Initialize());
    EXPECT_EQ(-1, agent.ReadTables());
    EXPECT_STREQ("SNMP Error Status = 5 Index = 1", agent.errorText);
    ASSERT_EQ(4, agent.GetRecordCount());
    EXPECT_EQ(135, agent.records[0].localPort);
    EXPECT_EQ(1025, agent.records[1].localPort);
    ExpectRecord(agent.records[2], Record("UDP", "0.0.0.0", 137, "*:*", 0, -1));
    ExpectRecord(agent.records[3], Record("UDP", "127.0.0.1", 44444, "*:*", 0, -1));
}

TEST_F(NetTableAgentTest, ErrorStatusOtherThanNoSuchNameEndsTheWalkAsAFailure) {
    AddSmallTables();
    script.force = [&](const Request& r, size_t) -> std::optional<Forced> {
        if (r.pdu == SNMP_PDU_GETNEXT && r.names[0].size() == 8 && r.names[0][6] == 6) {
            return Forced{true, SNMP_ERRORSTATUS_GENERR, -3};  // signed numbers in the text
        }
        return std::nullopt;
    };
    ASSERT_TRUE(agent.Initialize());
    EXPECT_EQ(-1, agent.ReadTables());
    EXPECT_STREQ("SNMP Error Status = 5 Index = -3", agent.errorText);
    ASSERT_EQ(2, agent.GetRecordCount());
    EXPECT_STREQ("UDP", agent.records[0].protocol);
}

TEST_F(NetTableAgentTest, FailingUdpWalkEndsTheReadKeepingWhatWasRead) {
    AddSmallTables();
    script.AddUdp({127, 0, 0, 1}, 50000);
    int udpNexts = 0;
    script.force = [&](const Request& r, size_t) -> std::optional<Forced> {
        if (r.pdu == SNMP_PDU_GETNEXT && IsUnder(r.names[0], {1, 3, 6, 1, 2, 1, 7, 5}) && ++udpNexts == 2) {
            return Forced{false, 0, 0};
        }
        return std::nullopt;
    };
    ASSERT_TRUE(agent.Initialize());
    EXPECT_EQ(-1, agent.ReadTables());
    EXPECT_STREQ("SNMP Error Status = 0 Index = 0", agent.errorText);
    ASSERT_EQ(4, agent.GetRecordCount());
    EXPECT_EQ(137, agent.records[3].localPort);
    EXPECT_EQ(2, udpNexts);  // nothing asked after the failure
}

TEST_F(NetTableAgentTest, RowWhoseGetFailsIsSkippedAndTheWalkGoesOn) {
    AddSmallTables();
    // The established row closed before its GET: success with noSuchName; the
    // first UDP row's GET is not carried out at all.
    script.force = [&](const Request& r, size_t) -> std::optional<Forced> {
        if (r.pdu != SNMP_PDU_GET) return std::nullopt;
        if (r.names[0] == Column(kTcpEntry, 1, {192, 168, 0, 1, 1025, 10, 1, 2, 3, 80})) {
            return Forced{true, SNMP_ERRORSTATUS_NOSUCHNAME, 1};
        }
        if (r.names[0] == Column(kUdpEntry, 1, {0, 0, 0, 0, 137})) return Forced{false, 5, 2};
        return std::nullopt;
    };
    ASSERT_TRUE(agent.Initialize());
    EXPECT_EQ(0, agent.ReadTables());
    EXPECT_STREQ("SNMP Error Status = 5 Index = 2", agent.errorText);
    ASSERT_EQ(3, agent.GetRecordCount());
    EXPECT_EQ(135, agent.records[0].localPort);
    EXPECT_EQ(1026, agent.records[1].localPort);
    EXPECT_EQ(44444, agent.records[2].localPort);
}

TEST_F(NetTableAgentTest, AddressesThatAreNotFourBytesSkipTheRow) {
    AddSmallTables();
    script.view[Column(kTcpEntry, 4, {192, 168, 0, 1, 1025, 10, 1, 2, 3, 80})] = Ip({10, 1, 2});
    script.view[Column(kUdpEntry, 1, {127, 0, 0, 1, 44444})] = Ip({127, 0, 0, 1, 9});
    ASSERT_TRUE(agent.Initialize());
    EXPECT_EQ(0, agent.ReadTables());
    ASSERT_EQ(3, agent.GetRecordCount());
    EXPECT_EQ(135, agent.records[0].localPort);
    EXPECT_EQ(1026, agent.records[1].localPort);
    EXPECT_EQ(137, agent.records[2].localPort);
}

TEST_F(NetTableAgentTest, StateOrPortOutOfRangeSkipsTheRowAsAWrongTypeDoes) {
    const Oid state = Column(kTcpEntry, 1, {192, 168, 0, 1, 1025, 10, 1, 2, 3, 80});
    const Oid localPort = Column(kTcpEntry, 3, {192, 168, 0, 1, 1025, 10, 1, 2, 3, 80});
    const Oid remotePort = Column(kTcpEntry, 5, {192, 168, 0, 1, 1025, 10, 1, 2, 3, 80});
    const Oid udpPort = Column(kUdpEntry, 2, {127, 0, 0, 1, 44444});
    const std::pair<Oid, int32_t> outOfRange[] = {
        {state, INT32_MIN},  {state, 0},       {state, 13},         {localPort, -1},  {localPort, 65536},
        {remotePort, 65536}, {remotePort, -1}, {udpPort, INT32_MIN}, {udpPort, 65536},
    };
    for (const auto& [name, value] : outOfRange) {
        script = FakeAgent{};
        AddSmallTables();
        script.view[name] = Int(value);
        EXPECT_EQ(0, agent.ReadTables());
        EXPECT_EQ(4, agent.GetRecordCount()) << "value " << value;
    }

    // The bounds themselves are values; a listener's remote port is never looked at.
    script = FakeAgent{};
    AddSmallTables();
    script.view[state] = Int(12);
    script.view[localPort] = Int(65535);
    script.view[Column(kTcpEntry, 5, {0, 0, 0, 0, 135, 0, 0, 0, 0, 0})] = Int(-1);
    script.view[udpPort] = Int(0);
    EXPECT_EQ(0, agent.ReadTables());
    ASSERT_EQ(5, agent.GetRecordCount());
    ExpectRecord(agent.records[0], Record("TCP", "0.0.0.0", 135, "0.0.0.0", 0, STATE_LISTEN));
    ExpectRecord(agent.records[1], Record("TCP", "192.168.0.1", 65535, "10.1.2.3", 80, STATE_DELETE_TCB));
    ExpectRecord(agent.records[4], Record("UDP", "127.0.0.1", 0, "*:*", 0, -1));
}

TEST_F(NetTableAgentTest, EmptyTablesAndObjectsBeyondTheColumn) {
    ASSERT_TRUE(agent.Initialize());
    EXPECT_EQ(0, agent.ReadTables());
    EXPECT_EQ(0, agent.GetRecordCount());

    // No TCP row: the walk lands on the first UDP address and stops there.
    script.AddUdp({0, 0, 0, 0}, 161);
    EXPECT_EQ(0, agent.ReadTables());
    ASSERT_EQ(1, agent.GetRecordCount());
    EXPECT_STREQ("UDP", agent.records[0].protocol);

    // An agent whose next object after the TCP table is an INTEGER of another
    // subtree: the walk must not take it for a connection.
    script.view[{1, 3, 6, 1, 2, 1, 6, 14, 0}] = Int(7);
    EXPECT_EQ(0, agent.ReadTables());
    ASSERT_EQ(1, agent.GetRecordCount());
    EXPECT_STREQ("UDP", agent.records[0].protocol);
}

TEST_F(NetTableAgentTest, AgentThatDoesNotMoveForwardCannotHangTheRead) {
    const Oid row = Column(kTcpEntry, 1, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    script.stuckNext = std::make_pair(row, Int(5));  // no GET will succeed either
    ASSERT_TRUE(agent.Initialize());
    EXPECT_EQ(-1, agent.ReadTables());
    EXPECT_EQ(0, agent.GetRecordCount());
    EXPECT_LT(script.requests.size(), 10u);
}

TEST_F(NetTableAgentTest, EveryReadStartsFromTheFirstRecord) {
    AddSmallTables();
    ASSERT_TRUE(agent.Initialize());
    EXPECT_EQ(0, agent.ReadTables());
    script.view.clear();
    script.AddUdp({127, 0, 0, 1}, 7);
    EXPECT_EQ(0, agent.ReadTables());
    ASSERT_EQ(1, agent.GetRecordCount());
    ExpectRecord(agent.records[0], Record("UDP", "127.0.0.1", 7, "*:*", 0, -1));
}

TEST_F(NetTableAgentTest, InitializeHandsTheInitAMonotonicUptimeAndHonoursItsAnswer) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint32_t before = static_cast<uint32_t>(ts.tv_sec * 1000ull + ts.tv_nsec / 1000000);
    EXPECT_TRUE(agent.Initialize());
    EXPECT_LE(script.uptimeSeen - before, 1000u);

    script.initResult = 0;
    CNetTableAgent refusing(FakeAgentInit, FakeAgentQuery);
    EXPECT_FALSE(refusing.Initialize());

    CNetTableAgent withoutQuery(FakeAgentInit, nullptr);
    EXPECT_FALSE(withoutQuery.Initialize());
}

// A record in one line: protocol, ends, state, family, pid, owner, program.
std::string Line(const ConnectionRecord& r) {
    char text[256];
    std::snprintf(text, sizeof text, "%s %s:%d %s:%d %d v%d %u/%d %s", r.protocol, r.localAddress, r.localPort,
                  r.remoteAddress, r.remotePort, r.stateIndex, r.family, r.pid, r.owner, r.program);
    return text;
}

// Rows of both families decoded from their indexes, state and process in one request,
// each program's name asked once; the older tables are not walked.
TEST_F(NetTableAgentTest, TablesOfBothFamiliesGiveEveryRowWithItsProgram) {
    ConnectionRecord listener = TcpRecord("0.0.0.0", 0, 5000, STATE_LISTEN, "0.0.0.0");
    ConnectionRecord own = TcpRecord("::1", 5002, 33588, STATE_ESTABLISHED, "::1");
    listener.pid = 40;
    own.pid = 41;
    script.bothFamilies = true;
    script.records = {TcpRecord("::1", 33590, 5003, STATE_TIME_WAIT, "::1"), own, listener,
                      TcpRecord("fe80::2%1", 40000, 22, STATE_ESTABLISHED, "fe80::1%1"), UdpRecord(53, "::")};
    script.programs = {{40, "server"}, {41, std::string("ev\x01l\0hidden")}};
    // A dual-stack listener (type unknown), a row of a type no index carries, and an
    // IPv6 socket's connection over IPv4 typed as another make types it.
    script.view[Column(kTcpListenerEntry, 4, {0, 0, 6000})] = FakeGauge(40);
    script.view[Column(kTcpConnectionEntry, 7, {16, 4, 1, 2, 3, 4, 1, 1, 4, 1, 2, 3, 4, 2})] = FakeInt(5);
    std::vector<uint32_t> mapped = {2, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 1, 80};
    mapped.insert(mapped.end(), mapped.begin(), mapped.end() - 1);
    mapped.push_back(1234);
    script.view[Column(kTcpConnectionEntry, 7, mapped)] = FakeInt(5);
    script.view[Column(kTcpConnectionEntry, 8, mapped)] = FakeGauge(0);
    ASSERT_TRUE(agent.Initialize());
    ASSERT_EQ(0, agent.ReadTables()) << agent.errorText;
    std::vector<std::string> lines;
    for (const ConnectionRecord& r : agent.records) lines.push_back(Line(r));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "TCP :::6000 :::0 1 v6 40/3 server", "TCP 0.0.0.0:5000 0.0.0.0:0 1 v4 40/3 server",
                         "TCP ::1:5003 ::1:33590 10 v6 0/1 ", "TCP ::1:33588 ::1:5002 4 v6 41/3 ev?l",
                         "TCP 10.0.0.1:80 10.0.0.1:1234 4 v4 0/2 ", "TCP fe80::1%lo:22 fe80::2%lo:40000 4 v6 0/2 ",
                         "UDP :::53 *:*:0 -1 v6 0/2 "}));
    auto count = [&](uint8_t pdu, const Oid& prefix, size_t names) {
        return std::count_if(script.requests.begin(), script.requests.end(), [&](const Request& r) {
            return r.pdu == pdu && r.names.size() == names && IsUnder(r.names[0], prefix);
        });
    };
    // Each walk starts at the table itself, so the agent reads it afresh.
    EXPECT_EQ(count(SNMP_PDU_GETNEXT, Oid(kTcpConnectionEntry.begin(), kTcpConnectionEntry.end() - 1), 2), 5 + 1);
    EXPECT_EQ(count(SNMP_PDU_GET, kTcpConnectionEntry, 1), 0);
    ASSERT_EQ(0, agent.ReadTables());
    EXPECT_EQ(count(SNMP_PDU_GET, kSwRunName, 1), 2);
    EXPECT_EQ(script.Reads(), 0);

    // An agent that will not step two columns at once gives the process by GET.
    script.force = [](const Request& q, size_t) -> std::optional<Forced> {
        if (q.pdu == SNMP_PDU_GETNEXT && q.names.size() == 2) return Forced{true, SNMP_ERRORSTATUS_NOSUCHNAME, 2};
        return std::nullopt;
    };
    ASSERT_EQ(0, agent.ReadTables()) << agent.errorText;
    ASSERT_EQ(agent.GetRecordCount(), 7);
    EXPECT_EQ(Line(agent.records[3]), lines[3]);
}

TEST(NetTableAgentLibraryTest, InitializeFailsWithoutAUsableLibrary) {
    CNetTableAgent missing(std::string(TOLVARA_BIN_DIR) + "/no-such-agent.so");
    EXPECT_FALSE(missing.Initialize());

    CNetTableAgent noQuery(std::string(TOLVARA_BIN_DIR) + "/libmib_without_query.so");
    EXPECT_FALSE(noQuery.Initialize());

    CNetTableAgent real(std::string(TOLVARA_BIN_DIR) + "/libinetmib1.so");
    EXPECT_TRUE(real.Initialize());
}

TEST(NetTableAgentLibraryTest, DefaultLibraryLiesBesideTheExecutable) {
    EXPECT_EQ(std::string(TOLVARA_BIN_DIR) + "/libinetmib1.so", DefaultAgentLibraryPath());
}

}  // namespace
