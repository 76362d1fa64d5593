// The real agent library against sockets this test opens on 127.0.0.1, and against
// net-snmp's snmpd reading the same kernel tables.
#include "monitor/CNetTableAgent.h"
#include "support/LoopbackSockets.h"
#include "support/NetNamespace.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Oid = std::vector<uint32_t>;
const Oid kTcpConnTable = {1, 3, 6, 1, 2, 1, 6, 13};
const Oid kUdpTable = {1, 3, 6, 1, 2, 1, 7, 5};

std::string LibraryPath(const char* name) { return std::string(TOLVARA_BIN_DIR) + "/" + name; }

// Waits until the kernel shows a socket in the wanted TCP state (loopback moves on
// almost at once, but not synchronously with close or shutdown).
void WaitForState(int fd, uint8_t kernelState) {
    for (int i = 0; i < 200; ++i) {
        tcp_info info{};
        socklen_t len = sizeof info;
        if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && info.tcpi_state == kernelState) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ADD_FAILURE() << "socket never reached kernel state " << int(kernelState);
}

// A socket bound to :: (listening, for TCP), IPv6-only or taking IPv4 as well.
Fd AnyIpv6Socket(int type, int v6only, uint16_t& port) {
    Fd fd(socket(AF_INET6, type, 0));
    setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    sockaddr_in6 any6{};
    any6.sin6_family = AF_INET6;
    EXPECT_EQ(0, bind(fd.get(), reinterpret_cast<sockaddr*>(&any6), sizeof any6));
    EXPECT_TRUE(type != SOCK_STREAM || listen(fd.get(), 4) == 0);
    port = LocalPort(fd.get());
    return fd;
}

// A known set of sockets on 127.0.0.1, held while a test runs.
struct KnownSockets {
    KnownSockets() {
        listener = TcpListener();
        port = LocalPort(listener.get());
        client = TcpConnect(port);
        server = Accept(listener.get());
        clientPort = LocalPort(client.get());

        // Half closed: the client has sent its FIN, the server has not.
        halfClient = TcpConnect(port);
        halfServer = Accept(listener.get());
        halfClientPort = LocalPort(halfClient.get());
        shutdown(halfClient.get(), SHUT_WR);
        WaitForState(halfClient.get(), 5 /* FIN_WAIT2 */);

        // Closed by the client first: its end lingers in TIME_WAIT.
        {
            Fd c = TcpConnect(port);
            Fd s = Accept(listener.get());
            closedClientPort = LocalPort(c.get());
            shutdown(c.get(), SHUT_WR);
            WaitForState(s.get(), 8 /* CLOSE_WAIT */);
            s.reset();
            WaitForState(c.get(), 7 /* CLOSE: the time-wait entry has taken over */);
        }

        udp = Fd(socket(AF_INET, SOCK_DGRAM, 0));
        sockaddr_in a = Loopback(0);
        EXPECT_EQ(0, bind(udp.get(), reinterpret_cast<sockaddr*>(&a), sizeof a));
        udpPort = LocalPort(udp.get());

        // Two sockets sharing one port: two kernel rows, one MIB row.
        int on = 1;
        for (Fd* fd : {&shared1, &shared2}) {
            *fd = Fd(socket(AF_INET, SOCK_DGRAM, 0));
            setsockopt(fd->get(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
            sockaddr_in at = Loopback(sharedPort);
            EXPECT_EQ(0, bind(fd->get(), reinterpret_cast<sockaddr*>(&at), sizeof at));
            sharedPort = LocalPort(fd->get());
        }

        // A dual-stack server: the IPv4 client's connection is held by an IPv6 socket.
        listener6 = AnyIpv6Socket(SOCK_STREAM, 0, port6);
        client6 = TcpConnect(port6);
        server6 = Accept(listener6.get());
        client6Port = LocalPort(client6.get());

        udp6 = Fd(socket(AF_INET6, SOCK_DGRAM, 0));
        sockaddr_in6 mapped{};
        mapped.sin6_family = AF_INET6;
        inet_pton(AF_INET6, "::ffff:127.0.0.1", &mapped.sin6_addr);
        EXPECT_EQ(0, bind(udp6.get(), reinterpret_cast<sockaddr*>(&mapped), sizeof mapped));
        udp6Port = LocalPort(udp6.get());

        listener6only = AnyIpv6Socket(SOCK_STREAM, 1, port6only);
        udpDual = AnyIpv6Socket(SOCK_DGRAM, 0, udpDualPort);
        udp6only = AnyIpv6Socket(SOCK_DGRAM, 1, udp6onlyPort);
    }

    // Reset rather than close, so repeated runs do not pile up TIME_WAIT rows.
    ~KnownSockets() {
        linger abort{1, 0};
        for (Fd* fd : {&client, &server, &halfClient, &halfServer, &client6, &server6}) {
            setsockopt(fd->get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
    }
    KnownSockets(const KnownSockets&) = delete;
    KnownSockets& operator=(const KnownSockets&) = delete;

    Fd listener, client, server, halfClient, halfServer, udp, shared1, shared2, listener6, client6, server6, udp6;
    Fd listener6only, udpDual, udp6only;
    uint16_t port = 0, clientPort = 0, halfClientPort = 0, closedClientPort = 0, udpPort = 0, sharedPort = 0;
    uint16_t port6 = 0, client6Port = 0, udp6Port = 0, port6only = 0, udpDualPort = 0, udp6onlyPort = 0;
};

// ---- the agent's entry points ----------------------------------------------------

struct Object {
    Oid name;
    std::string value;  // "INTEGER:n" or "IpAddress:a.b.c.d"
};

std::string Render(const AsnAny& v) {
    char text[64];
    if (v.asnType == ASN_INTEGER) {
        std::snprintf(text, sizeof text, "INTEGER:%d", v.asnValue.number);
    } else if (v.asnType == ASN_IPADDRESS && v.asnValue.address.length == 4) {
        const uint8_t* b = v.asnValue.address.stream;
        std::snprintf(text, sizeof text, "IpAddress:%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    } else if (v.asnType == ASN_GAUGE32) {
        std::snprintf(text, sizeof text, "Gauge32:%u", v.asnValue.gauge);
    } else if (v.asnType == ASN_OCTETSTRING) {
        return "STRING:" + std::string(reinterpret_cast<const char*>(v.asnValue.string.stream), v.asnValue.string.length);
    } else {
        std::snprintf(text, sizeof text, "type 0x%02x", v.asnType);
    }
    return text;
}

void SetName(SnmpVarBind& vb, const Oid& name) {
    vb.name.idLength = static_cast<uint32_t>(name.size());
    vb.name.ids = static_cast<uint32_t*>(SnmpUtilMemAlloc(static_cast<uint32_t>(name.size() * 4)));
    std::memcpy(vb.name.ids, name.data(), name.size() * 4);
    vb.value = AsnAny{};
    vb.value.asnType = ASN_NULL;
}

void Release(SnmpVarBind& vb) {
    SnmpUtilOidFree(&vb.name);
    SnmpUtilAsnAnyFree(&vb.value);
}

bool Under(const Oid& name, const Oid& prefix) {
    return name.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), name.begin());
}

class AgentLibrary {
public:
    explicit AgentLibrary(const std::string& path) {
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) return;
        init_ = reinterpret_cast<SnmpExtensionInitFn>(dlsym(handle_, "SnmpExtensionInit"));
        query_ = reinterpret_cast<SnmpExtensionQueryFn>(dlsym(handle_, "SnmpExtensionQuery"));
        void* trap = nullptr;
        AsnObjectIdentifier view{0, nullptr};
        if (init_ != nullptr) init_(0, &trap, &view);
    }
    ~AgentLibrary() { if (handle_ != nullptr) dlclose(handle_); }
    bool ok() const { return query_ != nullptr; }

    int32_t Query(uint8_t pdu, std::vector<SnmpVarBind>& binds, AsnInteger32& status, AsnInteger32& index) {
        SnmpVarBindList list{binds.data(), static_cast<uint32_t>(binds.size())};
        return query_(pdu, &list, &status, &index);
    }

    // Every object under root, walked with GETNEXT as an SNMP manager would.
    std::vector<Object> Walk(const Oid& root) {
        std::vector<Object> out;
        std::vector<SnmpVarBind> b(1);
        SetName(b[0], root);
        for (;;) {
            AsnInteger32 status = 0, index = 0;
            if (!Query(SNMP_PDU_GETNEXT, b, status, index) || status != 0) break;
            Oid name(b[0].name.ids, b[0].name.ids + b[0].name.idLength);
            if (!Under(name, root)) break;
            out.push_back({name, Render(b[0].value)});
            Release(b[0]);
            SetName(b[0], name);
        }
        Release(b[0]);
        return out;
    }

private:
    void* handle_ = nullptr;
    SnmpExtensionInitFn init_ = nullptr;
    SnmpExtensionQueryFn query_ = nullptr;
};

Oid TcpName(uint32_t column, uint16_t lport, uint16_t rport, bool remoteSet = true) {
    uint32_t r = remoteSet ? 1 : 0;
    return {1, 3, 6, 1, 2, 1, 6, 13, 1, column, 127, 0, 0, 1, lport, r ? 127u : 0u, 0, 0, r, rport};
}

std::string Describe(const std::vector<Object>& objects) {
    std::ostringstream s;
    for (const auto& o : objects) {
        for (size_t i = 0; i < o.name.size(); ++i) s << (i ? "." : "") << o.name[i];
        s << " = " << o.value << "\n";
    }
    return s.str();
}

// ---- through CNetTableAgent -----------------------------------------------------

class MibAgentTest : public ::testing::TestWithParam<const char*> {};

const ConnectionRecord* FindTcp(const CNetTableAgent& a, const char* local, int lport, const char* remote,
                                int rport) {
    for (int i = 0; i < a.GetRecordCount(); ++i) {
        const ConnectionRecord& r = a.records[i];
        if (!std::strcmp(r.protocol, "TCP") && !std::strcmp(r.localAddress, local) && r.localPort == lport &&
            !std::strcmp(r.remoteAddress, remote) && r.remotePort == rport) {
            return &r;
        }
    }
    return nullptr;
}

int FindUdp(const CNetTableAgent& a, const char* local, int port) {
    int found = 0;
    for (int i = 0; i < a.GetRecordCount(); ++i) {
        const ConnectionRecord& r = a.records[i];
        if (!std::strcmp(r.protocol, "UDP") && !std::strcmp(r.localAddress, local) && r.localPort == port &&
            !std::strcmp(r.remoteAddress, "*:*") && r.stateIndex == -1 && r.remotePort == 0) {
            ++found;
        }
    }
    return found;
}

// The MIB order of a record: address bytes as numbers, then ports.
std::vector<uint32_t> OrderKey(const ConnectionRecord& r) {
    std::vector<uint32_t> key;
    for (const char* address : {r.localAddress, r.remoteAddress}) {
        unsigned b[4] = {0, 0, 0, 0};
        std::sscanf(address, "%u.%u.%u.%u", &b[0], &b[1], &b[2], &b[3]);
        key.insert(key.end(), b, b + 4);
        key.push_back(static_cast<uint32_t>(address == r.localAddress ? r.localPort : r.remotePort));
    }
    return key;
}

TEST_P(MibAgentTest, SeesTheKnownSocketsWithTheirStatesInMibOrder) {
    KnownSockets k;
    CNetTableAgent agent(LibraryPath(GetParam()));
    agent.SetOlderTablesOnly(true);  // the monitor reads the tables of both families where served
    ASSERT_TRUE(agent.Initialize());
    ASSERT_EQ(0, agent.ReadTables()) << agent.errorText;
    if (agent.GetRecordCount() == MAX_CONNECTIONS) GTEST_SKIP() << "this machine has over 100 connections";

    struct Expected { int lport; const char* remote; int rport; int state; };
    const Expected tcp[] = {
        {k.port, "0.0.0.0", 0, STATE_LISTEN},
        {k.clientPort, "127.0.0.1", k.port, STATE_ESTABLISHED},
        {k.port, "127.0.0.1", k.clientPort, STATE_ESTABLISHED},
        {k.halfClientPort, "127.0.0.1", k.port, STATE_FIN_WAIT2},
        {k.port, "127.0.0.1", k.halfClientPort, STATE_CLOSE_WAIT},
        {k.closedClientPort, "127.0.0.1", k.port, STATE_TIME_WAIT},
        // Both ends of the dual-stack connection, one of them held by an IPv6 socket.
        {k.client6Port, "127.0.0.1", k.port6, STATE_ESTABLISHED},
        {k.port6, "127.0.0.1", k.client6Port, STATE_ESTABLISHED},
    };
    for (const auto& e : tcp) {
        const ConnectionRecord* r = FindTcp(agent, "127.0.0.1", e.lport, e.remote, e.rport);
        ASSERT_NE(nullptr, r) << "no row 127.0.0.1:" << e.lport << " " << e.remote << ":" << e.rport;
        EXPECT_EQ(e.state, r->stateIndex) << "row 127.0.0.1:" << e.lport;
    }
    EXPECT_EQ(1, FindUdp(agent, "127.0.0.1", k.udpPort));
    EXPECT_EQ(1, FindUdp(agent, "127.0.0.1", k.udp6Port));
    EXPECT_EQ(1, FindUdp(agent, "127.0.0.1", k.sharedPort));

    // Sockets on :: that take IPv4 too are 0.0.0.0 rows where the kernel tells which
    // they are; IPv6-only ones never are.
    const bool dualStackKnown = std::strcmp(GetParam(), "libinetmib1.so") == 0;
    const ConnectionRecord* dual = FindTcp(agent, "0.0.0.0", k.port6, "0.0.0.0", 0);
    EXPECT_TRUE(dualStackKnown ? dual && dual->stateIndex == STATE_LISTEN : !dual);
    EXPECT_FALSE(FindTcp(agent, "0.0.0.0", k.port6only, "0.0.0.0", 0));
    EXPECT_EQ(dualStackKnown ? 1 : 0, FindUdp(agent, "0.0.0.0", k.udpDualPort));
    EXPECT_EQ(0, FindUdp(agent, "0.0.0.0", k.udp6onlyPort));

    // TCP rows first, each table strictly ascending in MIB order (so no duplicates).
    int n = agent.GetRecordCount();
    int firstUdp = 0;
    while (firstUdp < n && !std::strcmp(agent.records[firstUdp].protocol, "TCP")) ++firstUdp;
    for (int i = firstUdp; i < n; ++i) EXPECT_STREQ("UDP", agent.records[i].protocol);
    for (int i = 1; i < n; ++i) {
        if (i == firstUdp) continue;
        auto a = OrderKey(agent.records[i - 1]), b = OrderKey(agent.records[i]);
        if (i > firstUdp) { a.resize(5); b.resize(5); }
        EXPECT_LT(a, b) << "records " << i - 1 << " and " << i;
    }
}

TEST_P(MibAgentTest, AnswersGetAndGetNextWithTheRequestSemantics) {
    KnownSockets k;
    AgentLibrary lib(LibraryPath(GetParam()));
    ASSERT_TRUE(lib.ok());
    AsnInteger32 status = -1, index = -1;

    // GETNEXT from an ancestor lands on the first tcpConnState, with a fresh name.
    std::vector<SnmpVarBind> one(1);
    SetName(one[0], {1, 3, 6});
    ASSERT_TRUE(lib.Query(SNMP_PDU_GETNEXT, one, status, index));
    EXPECT_EQ(0, status);
    ASSERT_EQ(20u, one[0].name.idLength);
    EXPECT_TRUE(Under(Oid(one[0].name.ids, one[0].name.ids + 20), {1, 3, 6, 1, 2, 1, 6, 13, 1, 1}));
    EXPECT_EQ(ASN_INTEGER, one[0].value.asnType);
    Release(one[0]);

    // GET of a whole row, and of a row that does not exist in the second binding.
    std::vector<SnmpVarBind> row(5);
    for (uint32_t c = 0; c < 5; ++c) SetName(row[c], TcpName(c + 1, k.port, k.clientPort));
    ASSERT_TRUE(lib.Query(SNMP_PDU_GET, row, status, index));
    EXPECT_EQ(0, status);
    EXPECT_EQ("INTEGER:5", Render(row[0].value));
    EXPECT_EQ("IpAddress:127.0.0.1", Render(row[1].value));
    EXPECT_TRUE(row[1].value.asnValue.address.dynamic);
    EXPECT_EQ("INTEGER:" + std::to_string(k.port), Render(row[2].value));
    EXPECT_EQ("IpAddress:127.0.0.1", Render(row[3].value));
    EXPECT_EQ("INTEGER:" + std::to_string(k.clientPort), Render(row[4].value));
    for (auto& b : row) Release(b);

    std::vector<SnmpVarBind> two(2);
    SetName(two[0], TcpName(1, k.port, k.clientPort));
    SetName(two[1], TcpName(1, k.port, 1));  // no such remote port
    uint32_t* sentName = two[1].name.ids;
    ASSERT_TRUE(lib.Query(SNMP_PDU_GET, two, status, index));
    EXPECT_EQ(SNMP_ERRORSTATUS_NOSUCHNAME, status);
    EXPECT_EQ(2, index);
    EXPECT_EQ(ASN_NULL, two[0].value.asnType);  // nothing answered on an error
    EXPECT_EQ(sentName, two[1].name.ids);
    for (auto& b : two) Release(b);

    // Past the end of the view.
    SetName(one[0], {1, 3, 6, 1, 2, 1, 25, 4, 2, 1, 4, 0xffffffffu});
    ASSERT_TRUE(lib.Query(SNMP_PDU_GETNEXT, one, status, index));
    EXPECT_EQ(SNMP_ERRORSTATUS_NOSUCHNAME, status);
    EXPECT_EQ(1, index);
    Release(one[0]);
    SetName(one[0], {1, 3, 6, 1, 2, 1, 26});
    ASSERT_TRUE(lib.Query(SNMP_PDU_GETNEXT, one, status, index));
    EXPECT_EQ(SNMP_ERRORSTATUS_NOSUCHNAME, status);
    Release(one[0]);

    // The last tcpConnRemPort is followed by the first tcpConnectionState, and the last
    // udpLocalPort by the first udpEndpointProcess.
    auto expectAfter = [&](const Oid& table, const Oid& column, uint8_t type) {
        auto walked = lib.Walk(table);
        ASSERT_FALSE(walked.empty());
        SetName(one[0], walked.back().name);
        ASSERT_TRUE(lib.Query(SNMP_PDU_GETNEXT, one, status, index));
        EXPECT_EQ(0, status);
        EXPECT_TRUE(Under(Oid(one[0].name.ids, one[0].name.ids + one[0].name.idLength), column));
        EXPECT_EQ(type, one[0].value.asnType);
        Release(one[0]);
    };
    expectAfter(kTcpConnTable, {1, 3, 6, 1, 2, 1, 6, 19, 1, 7}, ASN_INTEGER);
    expectAfter(kUdpTable, {1, 3, 6, 1, 2, 1, 7, 7, 1, 8}, ASN_GAUGE32);
}

TEST_P(MibAgentTest, GetsAfterAWalkStepKeepToTheWalksSnapshot) {
    Fd listener = TcpListener();
    const uint16_t port = LocalPort(listener.get());
    AgentLibrary lib(LibraryPath(GetParam()));
    ASSERT_TRUE(lib.ok());
    AsnInteger32 status, index;
    auto getState = [&]() {
        std::vector<SnmpVarBind> b(1);
        SetName(b[0], TcpName(1, port, 0, false));
        lib.Query(SNMP_PDU_GET, b, status, index);
        Release(b[0]);
        return status;
    };
    auto startWalk = [&]() {
        std::vector<SnmpVarBind> b(1);
        SetName(b[0], kTcpConnTable);
        lib.Query(SNMP_PDU_GETNEXT, b, status, index);
        Release(b[0]);
    };

    startWalk();
    listener.reset();  // the row leaves the kernel's table at once
    EXPECT_EQ(0, getState()) << "a GET inside the walk read the kernel again";
    startWalk();       // a new walk reads the tables anew
    EXPECT_EQ(SNMP_ERRORSTATUS_NOSUCHNAME, getState());

    Fd again = TcpListener();
    const uint16_t port2 = LocalPort(again.get());
    std::vector<SnmpVarBind> b(1);
    SetName(b[0], TcpName(1, port2, 0, false));
    lib.Query(SNMP_PDU_GET, b, status, index);
    EXPECT_EQ(SNMP_ERRORSTATUS_NOSUCHNAME, status);  // still the walk's snapshot
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    lib.Query(SNMP_PDU_GET, b, status, index);
    EXPECT_EQ(0, status) << "an old snapshot outside any walk must be read again";
    Release(b[0]);
}

INSTANTIATE_TEST_SUITE_P(Sources, MibAgentTest, ::testing::Values("libinetmib1.so", "libinetmib1_proc.so"));

// The sockets this process holds: descriptor by socket inode.
std::map<std::string, int> OwnSockets() {
    std::map<std::string, int> own;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
        if (target.rfind("socket:", 0) == 0) own[target] = std::stoi(fd.path().filename().string());
    }
    return own;
}

TEST(MibAgentSocketTest, KeepsOneSocketAndReplacesOneThatFailed) {
    CNetTableAgent agent(LibraryPath("libinetmib1.so"));
    ASSERT_TRUE(agent.Initialize());
    const auto before = OwnSockets();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(0, agent.ReadTables()) << agent.errorText;
    auto kept = OwnSockets();
    for (const auto& s : before) kept.erase(s.first);
    ASSERT_EQ(1u, kept.size()) << "reads opened sockets of their own, or kept none";
    // One that stops working (closed under the agent here) is given up within the read.
    close(kept.begin()->second);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(0, agent.ReadTables()) << agent.errorText;
    auto fresh = OwnSockets();
    for (const auto& s : before) fresh.erase(s.first);
    ASSERT_EQ(1u, fresh.size());
    EXPECT_NE(kept.begin()->first, fresh.begin()->first);
}

// The 0.0.0.0 rows of sockets on :: that take IPv4 too, as ss lists them ("*:port").
// Only sock_diag tells them from IPv6-only ones, so net-snmp and our /proc reader,
// which go by the kernel's IPv4 tables, never list them.
std::set<Oid> DualStackInstances(bool tcp) {
    std::set<Oid> out;
    std::istringstream lines(ShellOutput(tcp ? "ss -ltnH" : "ss -lunH"));
    std::string line, state, received, sent, local;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        if (!(fields >> state >> received >> sent >> local) || local[0] != '*') continue;
        const auto port = static_cast<uint32_t>(std::stoul(local.substr(local.rfind(':') + 1)));
        out.insert(tcp ? Oid{0, 0, 0, 0, port, 0, 0, 0, 0, 0} : Oid{0, 0, 0, 0, port});
    }
    return out;
}

std::vector<Object> WithoutMapped(const std::vector<Object>& objects, const std::set<Oid>& mapped) {
    std::vector<Object> out;
    for (const auto& o : objects) {
        if (o.name.size() > 10 && mapped.count(Oid(o.name.begin() + 10, o.name.end()))) continue;
        out.push_back(o);
    }
    return out;
}

// Background connections may change between two walks; a few tries settle it.
template <typename Attempt>
void WithRetries(Attempt attempt) {
    std::string last;
    for (int i = 0; i < 5; ++i) {
        if (attempt(last)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ADD_FAILURE() << last;
}

TEST(MibAgentSourcesTest, NetlinkGivesTheProcRowsAndTheDualStackSocketsSsLists) {
    KnownSockets k;
    AgentLibrary netlink(LibraryPath("libinetmib1.so"));
    AgentLibrary proc(LibraryPath("libinetmib1_proc.so"));
    ASSERT_TRUE(netlink.ok() && proc.ok());
    WithRetries([&](std::string& why) {
        for (const Oid& table : {kTcpConnTable, kUdpTable}) {
            // Beyond the rows /proc gives, exactly the sockets ss lists as dual-stack.
            const std::set<Oid> dual = DualStackInstances(table == kTcpConnTable);
            const std::vector<Object> ours = netlink.Walk(table), rest = WithoutMapped(ours, dual);
            std::string a = Describe(rest), b = Describe(WithoutMapped(proc.Walk(table), dual));
            if (a != b || ours.size() != rest.size() + dual.size() * (table == kTcpConnTable ? 5 : 2)) {
                why = "netlink:\n" + Describe(ours) + "proc:\n" + b;
                return false;
            }
        }
        return true;
    });
}

// ---- against net-snmp -----------------------------------------------------------

// A minimal SNMPv2c manager: GETNEXT of one binding over UDP, BER by hand.
class SnmpClient {
public:
    explicit SnmpClient(uint16_t agentPort) : fd_(socket(AF_INET, SOCK_DGRAM, 0)), agent_(Loopback(agentPort)) {
        sockaddr_in any = Loopback(0);
        bind(fd_.get(), reinterpret_cast<sockaddr*>(&any), sizeof any);
        timeval tv{0, 300000};
        setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }

    // Returns false when no answer came; endOfView is set at the end of the MIB.
    bool GetNext(const Oid& name, Object& out, bool& endOfView, int tries = 4) {
        const int32_t id = ++requestId_;
        std::vector<uint8_t> varbind = Tlv(0x30, Cat(Tlv(0x06, EncodeOid(name)), {0x05, 0x00}));
        std::vector<uint8_t> pdu = Tlv(0xA1, Cat(Cat(Integer(id), Integer(0)), Cat(Integer(0), Tlv(0x30, varbind))));
        std::vector<uint8_t> community(kCommunity, kCommunity + std::strlen(kCommunity));
        std::vector<uint8_t> message = Tlv(0x30, Cat(Cat(Integer(1), Tlv(0x04, community)), pdu));
        for (int t = 0; t < tries; ++t) {
            sendto(fd_.get(), message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&agent_), sizeof agent_);
            uint8_t reply[4096];
            for (;;) {
                ssize_t n = recv(fd_.get(), reply, sizeof reply, 0);
                if (n <= 0) break;  // time-out: send again
                if (Parse(reply, static_cast<size_t>(n), id, out, endOfView)) return true;
            }
        }
        return false;
    }

    std::vector<Object> Walk(const Oid& root, bool& answered) {
        std::vector<Object> out;
        Oid name = root;
        answered = true;
        for (;;) {
            Object o;
            bool end = false;
            if (!GetNext(name, o, end, out.empty() ? 20 : 4)) { answered = false; break; }
            if (end || !Under(o.name, root)) break;
            out.push_back(o);
            name = o.name;
        }
        return out;
    }

    static constexpr const char* kCommunity = "tolvara";

private:
    static std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
    static std::vector<uint8_t> Tlv(uint8_t tag, const std::vector<uint8_t>& body) {
        std::vector<uint8_t> out{tag};
        if (body.size() < 128) {
            out.push_back(static_cast<uint8_t>(body.size()));
        } else {
            out.push_back(0x82);
            out.push_back(static_cast<uint8_t>(body.size() >> 8));
            out.push_back(static_cast<uint8_t>(body.size()));
        }
        return Cat(out, body);
    }
    static std::vector<uint8_t> Integer(int32_t v) {
        std::vector<uint8_t> b;
        for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(v >> shift));
        while (b.size() > 1 && ((b[0] == 0 && !(b[1] & 0x80)) || (b[0] == 0xff && (b[1] & 0x80)))) b.erase(b.begin());
        return Tlv(0x02, b);
    }
    static std::vector<uint8_t> EncodeOid(const Oid& oid) {
        std::vector<uint8_t> b{static_cast<uint8_t>(oid[0] * 40 + oid[1])};
        for (size_t i = 2; i < oid.size(); ++i) {
            uint8_t chunk[5];
            int n = 0;
            uint32_t v = oid[i];
            do { chunk[n++] = v & 0x7f; v >>= 7; } while (v != 0);
            while (n-- > 0) b.push_back(static_cast<uint8_t>(chunk[n] | (n ? 0x80 : 0)));
        }
        return b;
    }

    struct Reader {
        const uint8_t* p;
        const uint8_t* end;
        bool Next(uint8_t& tag, const uint8_t*& body, size_t& length) {
            if (end - p < 2) return false;
            tag = *p++;
            length = *p++;
            if (length & 0x80) {
                size_t bytes = length & 0x7f;
                if (bytes == 0 || bytes > 2 || static_cast<size_t>(end - p) < bytes) return false;
                length = 0;
                while (bytes--) length = (length << 8) | *p++;
            }
            if (static_cast<size_t>(end - p) < length) return false;
            body = p;
            p += length;
            return true;
        }
        Reader Inside(const uint8_t* body, size_t length) const { return Reader{body, body + length}; }
    };

    static int64_t DecodeInteger(const uint8_t* b, size_t n) {
        int64_t v = (n > 0 && (b[0] & 0x80)) ? -1 : 0;
        for (size_t i = 0; i < n; ++i) v = (v << 8) | b[i];
        return v;
    }

    static bool Parse(const uint8_t* data, size_t size, int32_t id, Object& out, bool& endOfView) {
        Reader top{data, data + size};
        uint8_t tag;
        const uint8_t* body;
        size_t len;
        if (!top.Next(tag, body, len) || tag != 0x30) return false;
        Reader msg = top.Inside(body, len);
        if (!msg.Next(tag, body, len) || !msg.Next(tag, body, len)) return false;  // version, community
        if (!msg.Next(tag, body, len) || tag != 0xA2) return false;
        Reader pdu = msg.Inside(body, len);
        if (!pdu.Next(tag, body, len) || DecodeInteger(body, len) != id) return false;
        if (!pdu.Next(tag, body, len) || DecodeInteger(body, len) != 0) return false;  // error status
        if (!pdu.Next(tag, body, len) || !pdu.Next(tag, body, len)) return false;
        Reader list = pdu.Inside(body, len);
        if (!list.Next(tag, body, len)) return false;
        Reader vb = list.Inside(body, len);
        if (!vb.Next(tag, body, len) || tag != 0x06 || len == 0) return false;
        out.name = {std::min<uint32_t>(body[0] / 40, 2), body[0] - std::min<uint32_t>(body[0] / 40, 2) * 40};
        uint32_t v = 0;
        for (size_t i = 1; i < len; ++i) {
            v = (v << 7) | (body[i] & 0x7f);
            if (!(body[i] & 0x80)) { out.name.push_back(v); v = 0; }
        }
        if (!vb.Next(tag, body, len)) return false;
        endOfView = tag == 0x82;
        char text[64];
        if (tag == 0x02) {
            std::snprintf(text, sizeof text, "INTEGER:%lld", static_cast<long long>(DecodeInteger(body, len)));
        } else if (tag == 0x40 && len == 4) {
            std::snprintf(text, sizeof text, "IpAddress:%u.%u.%u.%u", body[0], body[1], body[2], body[3]);
        } else if (tag == 0x42) {
            std::snprintf(text, sizeof text, "Gauge32:%lld", static_cast<long long>(DecodeInteger(body, len) & 0xffffffff));
        } else {
            std::snprintf(text, sizeof text, "type 0x%02x", tag);
        }
        out.value = text;
        return true;
    }

    Fd fd_;
    sockaddr_in agent_;
    int32_t requestId_ = 0;
};

// snmpd in the foreground on a loopback port, with every file it writes in a
// temporary folder; stopped when the object goes away.
class NetSnmpAgent {
public:
    explicit NetSnmpAgent(const TempDir& dir) {
        WriteWholeFile(dir.file("snmpd.conf"), std::string("rocommunity ") + SnmpClient::kCommunity + " 127.0.0.1\n");
        Fd probe(socket(AF_INET, SOCK_DGRAM, 0));
        sockaddr_in a = Loopback(0);
        bind(probe.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        port_ = LocalPort(probe.get());
        probe.reset();

        std::string endpoint = "udp:127.0.0.1:" + std::to_string(port_);
        std::string conf = dir.file("snmpd.conf"), log = dir.file("snmpd.log"), pid = dir.file("snmpd.pid");
        std::string persistent = "SNMP_PERSISTENT_DIR=" + dir.path();
        pid_ = fork();
        if (pid_ == 0) {
            int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 0);
            dup2(devnull, 1);
            dup2(devnull, 2);
            const char* argv[] = {"/usr/sbin/snmpd", "-f", "-Lf", log.c_str(), "-C", "-c", conf.c_str(),
                                  "-p", pid.c_str(), "-I", "-smux", endpoint.c_str(), nullptr};
            const char* envp[] = {persistent.c_str(), "MIBS=", "HOME=/nonexistent", nullptr};
            execve(argv[0], const_cast<char* const*>(argv), const_cast<char* const*>(envp));
            _exit(127);
        }
    }
    ~NetSnmpAgent() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    NetSnmpAgent(const NetSnmpAgent&) = delete;
    NetSnmpAgent& operator=(const NetSnmpAgent&) = delete;
    uint16_t port() const { return port_; }

private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

// Instances of rows that only IPv6 sockets hold (IPv4-mapped addresses): net-snmp's
// IPv4 tables leave them out. Read straight from the kernel's text tables.
std::set<Oid> MappedInstances(const char* path, bool tcp) {
    std::set<Oid> out;
    FILE* f = std::fopen(path, "r");
    if (f == nullptr) return out;
    char line[512];
    (void)!std::fgets(line, sizeof line, f);  // the header; without one no row follows
    while (std::fgets(line, sizeof line, f)) {
        char local[33], remote[33];
        unsigned lport, rport;
        if (std::sscanf(line, " %*d: %32[0-9A-F]:%x %32[0-9A-F]:%x", local, &lport, remote, &rport) != 4) continue;
        auto v4 = [](const char* hex, Oid& o) {
            if (std::strncmp(hex, "0000000000000000FFFF0000", 24) != 0) return false;
            uint32_t word = static_cast<uint32_t>(std::strtoul(hex + 24, nullptr, 16));
            uint8_t b[4];
            std::memcpy(b, &word, 4);
            o.insert(o.end(), b, b + 4);
            return true;
        };
        Oid instance;
        if (!v4(local, instance)) continue;
        instance.push_back(lport);
        if (tcp) {
            if (!v4(remote, instance)) continue;
            instance.push_back(rport);
        }
        out.insert(instance);
    }
    std::fclose(f);
    return out;
}

TEST(MibAgentNetSnmpTest, WalksAgreeRowForRowWithSnmpd) {
    if (access("/usr/sbin/snmpd", X_OK) != 0) GTEST_SKIP() << "net-snmp's snmpd is not installed (package snmpd)";
    KnownSockets k;
    AgentLibrary ours(LibraryPath("libinetmib1.so"));
    ASSERT_TRUE(ours.ok());

    int compared = 0;
    WithRetries([&](std::string& why) {
        TempDir dir;
        NetSnmpAgent snmpd(dir);
        SnmpClient client(snmpd.port());
        bool tcpAnswered = false, udpAnswered = false;
        auto theirTcp = client.Walk(kTcpConnTable, tcpAnswered);
        auto theirUdp = client.Walk(kUdpTable, udpAnswered);
        if (!tcpAnswered || !udpAnswered) {
            why = "snmpd did not answer on port " + std::to_string(snmpd.port());
            return false;
        }
        auto ourTcp = ours.Walk(kTcpConnTable);
        auto ourUdp = ours.Walk(kUdpTable);
        auto mappedTcp = MappedInstances("/proc/net/tcp6", true);
        auto mappedUdp = MappedInstances("/proc/net/udp6", false);
        // The test's own dual-stack rows must be among them, or nothing is compared.
        if (!mappedTcp.count({127, 0, 0, 1, k.port6, 127, 0, 0, 1, k.client6Port}) ||
            !mappedUdp.count({127, 0, 0, 1, k.udp6Port})) {
            why = "the test's IPv4-mapped sockets are missing from /proc/net";
            return false;
        }
        // Rows only we list: dual-stack sockets' 0.0.0.0 rows.
        for (const Oid& instance : DualStackInstances(true)) mappedTcp.insert(instance);
        for (const Oid& instance : DualStackInstances(false)) mappedUdp.insert(instance);
        std::string a = Describe(WithoutMapped(theirTcp, mappedTcp)) + Describe(WithoutMapped(theirUdp, mappedUdp));
        std::string b = Describe(WithoutMapped(ourTcp, mappedTcp)) + Describe(WithoutMapped(ourUdp, mappedUdp));
        if (a != b) {
            why = "snmpd:\n" + a + "ours:\n" + b;
            return false;
        }
        // Our own connection rows are really in both walks.
        std::string listenerRow = Describe({{TcpName(1, k.port, 0, false), "INTEGER:2"}});
        std::string finRow = Describe({{TcpName(1, k.halfClientPort, k.port), "INTEGER:7"}});
        std::string waitRow = Describe({{TcpName(1, k.closedClientPort, k.port), "INTEGER:11"}});
        if (a.find(listenerRow) == std::string::npos || a.find(finRow) == std::string::npos ||
            a.find(waitRow) == std::string::npos) {
            why = "snmpd's walk lacks the test's rows:\n" + a;
            return false;
        }
        compared = static_cast<int>(theirTcp.size() + theirUdp.size());
        return true;
    });
    EXPECT_GT(compared, 0);
}

// ---- the tables of both families, against net-snmp in a namespace of the test's own --

Fd Ipv6Socket(int type, const char* address, uint16_t port, int v6only, bool connectTo) {
    Fd fd(socket(AF_INET6, type, 0));
    setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    inet_pton(AF_INET6, address, &a.sin6_addr);
    auto* at = reinterpret_cast<sockaddr*>(&a);
    EXPECT_EQ(0, connectTo ? connect(fd.get(), at, sizeof a) : bind(fd.get(), at, sizeof a));
    EXPECT_TRUE(type != SOCK_STREAM || connectTo || listen(fd.get(), 4) == 0);
    return fd;
}

// Adds the rows of a walked column that have an endpoint on one of the ports, by name.
// With dualStack given, net-snmp's way of writing an index is brought to the tables'
// definitions: a mapped address is ipv4, not ipv6 ::ffff:a.b.c.d; a dual-stack
// socket's address has no type, not ipv6 ::; an unconnected UDP socket's remote has
// none either, not 0.0.0.0 or ::.
void AddRows(std::map<Oid, std::string>& rows, const std::vector<Object>& column, size_t prefix, int endpoints,
             const std::set<uint32_t>& ports, const std::set<uint32_t>* dualStack) {
    for (const Object& o : column) {
        Oid name(o.name.begin(), o.name.begin() + static_cast<long>(prefix));
        size_t at = prefix;
        bool ours = false;
        for (int i = 0; i < endpoints && at + 1 < o.name.size() && at + 2 + o.name[at + 1] < o.name.size(); ++i) {
            uint32_t type = o.name[at];
            Oid address(o.name.begin() + static_cast<long>(at) + 2, o.name.begin() + static_cast<long>(at + 2 + o.name[at + 1]));
            const uint32_t port = o.name[at + 2 + address.size()];
            at += 3 + address.size();
            const Oid mapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
            const bool zero = std::all_of(address.begin(), address.end(), [](uint32_t b) { return b == 0; });
            if (dualStack && type == 2 && address.size() == 16 && std::equal(mapped.begin(), mapped.end(), address.begin())) {
                type = 1, address.erase(address.begin(), address.begin() + 12);
            } else if (dualStack && zero && (i == 0 ? type == 2 && dualStack->count(port) : name[6] == 7 && port == 0)) {
                type = 0, address.clear();
            }
            name.push_back(type), name.push_back(static_cast<uint32_t>(address.size()));
            name.insert(name.end(), address.begin(), address.end());
            name.push_back(port);
            ours = ours || ports.count(port);
        }
        name.insert(name.end(), o.name.begin() + static_cast<long>(at), o.name.end());
        if (ours) rows[name] = o.value;
    }
}

TEST(MibAgentNetSnmpTest, TablesOfBothFamiliesAgreeWithSnmpdOnStateAndProcess) {
    if (access("/usr/sbin/snmpd", X_OK) != 0) GTEST_SKIP() << "net-snmp's snmpd is not installed (package snmpd)";
    if (const std::string why = NamespaceUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
    TestNetns ns("v6");
    TestNetns::Inside inside(ns);
    KnownSockets k;  // IPv4, a dual-stack listener with a mapped connection, sockets on ::
    Fd listener6 = Ipv6Socket(SOCK_STREAM, "::1", 0, 1, false);
    Fd client6 = Ipv6Socket(SOCK_STREAM, "::1", LocalPort(listener6.get()), 1, true);
    Fd server6 = Accept(listener6.get());
    Fd udpConnected = UdpSocket();
    sockaddr_in peer = Loopback(k.udpPort);
    ASSERT_EQ(0, connect(udpConnected.get(), reinterpret_cast<sockaddr*>(&peer), sizeof peer));
    const std::set<uint32_t> ports = {k.port, k.clientPort, k.halfClientPort, k.closedClientPort, k.udpPort,
                                      k.sharedPort, k.port6, k.client6Port, k.udp6Port, k.port6only,
                                      k.udpDualPort, k.udp6onlyPort, LocalPort(listener6.get()),
                                      LocalPort(client6.get()), LocalPort(udpConnected.get())};
    const std::set<uint32_t> dualStack = {k.port6, k.udpDualPort};
    // A fresh instance of our library, so its netlink socket is made in this namespace.
    TempDir libraryDir;
    std::filesystem::copy_file(LibraryPath("libinetmib1.so"), libraryDir.file("copy.so"));
    AgentLibrary ours(libraryDir.file("copy.so"));
    ASSERT_TRUE(ours.ok());

    const std::pair<Oid, int> columns[] = {{{1, 3, 6, 1, 2, 1, 6, 19, 1, 7}, 2}, {{1, 3, 6, 1, 2, 1, 6, 19, 1, 8}, 2},
                                           {{1, 3, 6, 1, 2, 1, 6, 20, 1, 4}, 1}, {{1, 3, 6, 1, 2, 1, 7, 7, 1, 8}, 2}};
    std::map<Oid, std::string> theirs, mine;
    WithRetries([&](std::string& why) {
        TempDir dir;
        NetSnmpAgent snmpd(dir);  // started after the sockets: it keeps its tables a minute
        SnmpClient client(snmpd.port());
        theirs.clear(), mine.clear();
        for (const auto& [column, endpoints] : columns) {
            bool answered = false;
            AddRows(theirs, client.Walk(column, answered), column.size(), endpoints, ports, &dualStack);
            AddRows(mine, ours.Walk(column), column.size(), endpoints, ports, nullptr);
            if (!answered) why = "snmpd did not answer on port " + std::to_string(snmpd.port());
        }
        // Nine connections (one in TIME_WAIT) in two columns, four listeners, seven UDP sockets.
        if (why.empty() && theirs.size() != 9 * 2 + 4 + 7) why = "snmpd's walk lacks rows of the test";
        return why.empty();
    });
    auto describe = [](const std::map<Oid, std::string>& rows) {
        std::vector<Object> objects;
        for (const auto& [name, value] : rows) objects.push_back({name, value});
        return Describe(objects);
    };
    EXPECT_EQ(describe(theirs), describe(mine));

    // Our rows name this process, and hrSWRunName names its program.
    const Oid dualListener = {1, 3, 6, 1, 2, 1, 6, 20, 1, 4, 0, 0, k.port6};
    EXPECT_EQ("Gauge32:" + std::to_string(getpid()), mine[dualListener]);
    std::string comm = ReadWholeFile("/proc/self/comm");
    comm.erase(comm.find_last_not_of('\n') + 1);
    const auto names = ours.Walk({1, 3, 6, 1, 2, 1, 25, 4, 2, 1, 2});
    const Oid selfName = {1, 3, 6, 1, 2, 1, 25, 4, 2, 1, 2, static_cast<uint32_t>(getpid())};
    EXPECT_TRUE(std::any_of(names.begin(), names.end(),
                            [&](const Object& o) { return o.name == selfName && o.value == "STRING:" + comm; }))
        << Describe(names);
}

}  // namespace
