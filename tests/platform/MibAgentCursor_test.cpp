// The agent's answers against a plain search of the view it serves, on random tables
// handed to it in place of the kernel's: walks as a client makes them (the row after
// the last answer, then that row's columns) with jumps between, over dumps re-read
// unchanged, reordered or edited. The tables of both families have instances of
// different lengths, so their order is the plain order of the names; the owner of a
// socket is made up from its inode.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <map>
#include <netinet/in.h>
#include <tuple>
#include <string>
#include <random>
#include <thread>
#include <vector>

#include "monitor/CNetTableAgent.h"
#include "platform/SnmpTypes.h"
#include "platform/mib/KernelTables.h"
#include "platform/mib/SocketOwners.h"

extern "C" int32_t SnmpExtensionQuery(uint8_t pduType, SnmpVarBindList* varBinds, AsnInteger32* errorStatus,
                                      AsnInteger32* errorIndex);
extern "C" int32_t SnmpExtensionInit(uint32_t uptimeReference, void** trapEvent, AsnObjectIdentifier* supportedView);

namespace {
std::vector<mib::TcpConn> gTcp;
std::vector<mib::UdpEndpoint> gUdp;
std::vector<mib::Socket> gTcpSockets, gUdpSockets;
int gTcpSocketReads = 0, gUdpSocketReads = 0, gOwnerLookups = 0;

uint32_t OwnerOf(uint32_t inode) { return inode == 0 || inode % 5 == 0 ? 0 : 100 + inode % 7; }

size_t WriteNumber(uint64_t n, char* out, size_t capacity) {
    const std::string text = std::to_string(n);
    return text.size() <= capacity ? (std::copy(text.begin(), text.end(), out), text.size()) : 0;
}
}  // namespace

namespace mib {
template <typename Row>
void Append(RowsOver<Row>& out, const std::vector<Row>& rows) {
    for (const Row& row : rows) out.push_back(row);
}
bool ReadTcpTable(Source, RowsOver<TcpConn>& out) { return Append(out, gTcp), true; }
bool ReadUdpTable(Source, RowsOver<UdpEndpoint>& out) { return Append(out, gUdp), true; }
bool ReadTcpSockets(Source, RowsOver<Socket>& out) {
    ++gTcpSocketReads;
    return Append(out, gTcpSockets), true;
}
bool ReadUdpSockets(Source, RowsOver<Socket>& out) {
    ++gUdpSocketReads;
    return Append(out, gUdpSockets), true;
}
void FindSocketOwners(const uint32_t* inodes, uint32_t* pids, size_t count, int64_t, unsigned) {
    ++gOwnerLookups;
    std::transform(inodes, inodes + count, pids, OwnerOf);
}
uint64_t SocketOwnerEdits() { return 0; }
bool SocketOwnersAlive(const uint32_t*, size_t) { return true; }
size_t ReadProcessName(uint32_t pid, char* out, size_t capacity) { return WriteNumber(pid, out, capacity); }
size_t ReadProcessPath(uint32_t pid, char* out, size_t capacity) { return WriteNumber(2 * pid, out, capacity); }
}  // namespace mib

namespace {

using Oid = std::vector<uint32_t>;
using View = std::map<Oid, int64_t>;  // every object, addresses as numbers

int64_t Number(const uint8_t* b) { return int64_t{b[0]} << 24 | b[1] << 16 | b[2] << 8 | b[3]; }

// The view of the tables, one row per instance (a later duplicate is left out).
View ViewOf() {
    View view;
    auto add = [&](uint32_t table, Oid inst, std::vector<int64_t> values) {
        Oid name = {1, 3, 6, 1, 2, 1, table, table == 6 ? 13u : 5u, 1, 1};
        name.insert(name.end(), inst.begin(), inst.end());
        if (view.count(name)) return false;
        for (size_t c = 0; c < values.size(); ++c) name[9] = static_cast<uint32_t>(c + 1), view[name] = values[c];
        return true;
    };
    std::erase_if(gTcp, [&](const mib::TcpConn& c) {
        return !add(6, {c.local[0], c.local[1], c.local[2], c.local[3], c.localPort, c.remote[0], c.remote[1],
                        c.remote[2], c.remote[3], c.remotePort},
                    {c.state, Number(c.local), c.localPort, Number(c.remote), c.remotePort});
    });
    std::erase_if(gUdp, [&](const mib::UdpEndpoint& e) {
        return !add(7, {e.local[0], e.local[1], e.local[2], e.local[3], e.localPort}, {Number(e.local), e.localPort});
    });

    // The tables of both families, for sockets with neither mapped, nor dual-stack, nor
    // link-local addresses: an address is its type, its length and its bytes. Of
    // sockets with one instance the view keeps a live one before one in TIME_WAIT,
    // then the oldest (lowest inode). Rows: name (column 0) -> rank, state, owner.
    std::map<Oid, std::tuple<int, int64_t, int64_t>> rows;
    auto endpoint = [](Oid& o, const mib::Socket& s, const uint8_t* address, uint16_t port) {
        const uint32_t length = s.family == AF_INET6 ? 16 : 4;
        o.insert(o.end(), {length == 16 ? 2u : 1u, length});
        o.insert(o.end(), address, address + length);
        o.push_back(port);
    };
    for (const mib::Socket& s : gTcpSockets) {
        const int32_t state = mib::TcpConnStateFromKernel(s.kernelState);
        Oid name = {1, 3, 6, 1, 2, 1, 6, state == 2 ? 20u : 19u, 1, 0};
        endpoint(name, s, s.local, s.localPort);
        if (state != 2) endpoint(name, s, s.remote, s.remotePort);
        const std::tuple<int, int64_t, int64_t> row{(state == 11) << 30 | static_cast<int>(s.inode), state, OwnerOf(s.inode)};
        if (!rows.count(name) || row < rows[name]) rows[name] = row;
    }
    for (const mib::Socket& s : gUdpSockets) {
        Oid name = {1, 3, 6, 1, 2, 1, 7, 7, 1, 0};
        endpoint(name, s, s.local, s.localPort);
        if (std::all_of(s.remote, s.remote + 16, [](uint8_t b) { return b == 0; }) && s.remotePort == 0)
            name.insert(name.end(), {0, 0, 0});
        else
            endpoint(name, s, s.remote, s.remotePort);
        name.push_back(s.inode);
        rows[name] = {0, 0, OwnerOf(s.inode)};
    }
    for (const auto& [instance, row] : rows) {
        Oid name = instance;
        const int64_t owner = std::get<2>(row);
        if (name[7] == 19) name[9] = 7, view[name] = std::get<1>(row);
        name[9] = name[7] == 20 ? 4 : 8;
        view[name] = owner;
        for (uint32_t column : {2u, 4u}) {
            if (owner != 0) view[{1, 3, 6, 1, 2, 1, 25, 4, 2, 1, column, static_cast<uint32_t>(owner)}] = column / 2 * owner;
        }
    }
    return view;
}

// The entry's length and readable columns of the table a name lies in.
std::pair<size_t, std::vector<uint32_t>> ColumnsOf(const Oid& name) {
    if (name[6] == 25) return {10, {2, 4}};
    if (name[6] == 6) return {9, name[7] == 13 ? std::vector<uint32_t>{1, 2, 3, 4, 5} : name[7] == 19 ? std::vector<uint32_t>{7, 8} : std::vector<uint32_t>{4}};
    return {9, name[7] == 5 ? std::vector<uint32_t>{1, 2} : std::vector<uint32_t>{8}};
}

// One request; the names and values it came back with, or nothing when it failed.
std::vector<std::pair<Oid, int64_t>> Query(uint8_t pdu, const std::vector<Oid>& names) {
    std::vector<SnmpVarBind> list(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        list[i].name = {static_cast<uint32_t>(names[i].size()),
                        static_cast<uint32_t*>(SnmpUtilMemAlloc(static_cast<uint32_t>(names[i].size() * 4)))};
        std::copy(names[i].begin(), names[i].end(), list[i].name.ids);
        list[i].value.asnType = ASN_NULL;
    }
    SnmpVarBindList bindings{list.data(), static_cast<uint32_t>(list.size())};
    AsnInteger32 status = 0, index = 0;
    const bool answered = SnmpExtensionQuery(pdu, &bindings, &status, &index) && status == 0;
    std::vector<std::pair<Oid, int64_t>> out;
    for (auto& b : list) {
        const AsnAny& v = b.value;
        if (answered)
            out.emplace_back(Oid(b.name.ids, b.name.ids + b.name.idLength),
                             v.asnType == ASN_INTEGER   ? v.asnValue.number
                             : v.asnType == ASN_GAUGE32 ? v.asnValue.gauge
                             : v.asnType == ASN_OCTETSTRING
                                 ? std::stoll(std::string(reinterpret_cast<char*>(v.asnValue.string.stream), v.asnValue.string.length))
                                 : Number(v.asnValue.address.stream));
        SnmpUtilOidFree(&b.name);
        SnmpUtilAsnAnyFree(&b.value);
    }
    return out;
}

TEST(MibAgentCursor, AnswersWhatAPlainSearchOfTheViewFinds) {
    std::mt19937 random(20240917);
    auto pick = [&](size_t n) { return static_cast<uint32_t>(random() % n); };
    // Few distinct values, so instances share long prefixes and differ late.
    auto byte = [&] { return static_cast<uint8_t>(pick(3) ? 127 + pick(2) : pick(256)); };
    auto port = [&] { return static_cast<uint16_t>(pick(4) ? 1000 + pick(4) : pick(65536)); };

    for (int round = 0; round < 150 && !HasFailure(); ++round) {
        const uint32_t change = pick(4);  // the same dump, reordered, edited, or new tables
        if (change == 1) std::shuffle(gTcp.begin(), gTcp.end(), random);
        if (change == 3) gTcp.clear(), gUdp.clear();
        for (uint32_t i = change >= 2 ? pick(3) : 0; i > 0 && !gTcp.empty(); --i) gTcp.erase(gTcp.begin() + pick(gTcp.size()));
        for (uint32_t i = change == 3 ? pick(60) : change == 2 ? 1 + pick(3) : 0; i > 0; --i) {
            mib::TcpConn c{{byte(), byte(), byte(), byte()}, port(), {byte(), byte(), byte(), byte()}, port(),
                           static_cast<int32_t>(1 + pick(12)), false};
            gTcp.insert(gTcp.begin() + pick(gTcp.size() + 1), c);
            if (pick(3) == 0) gUdp.push_back({{byte(), byte(), byte(), byte()}, port(), false});
        }
        for (auto* sockets : {&gTcpSockets, &gUdpSockets}) {
            if (change == 1) std::shuffle(sockets->begin(), sockets->end(), random);
            if (change == 3) sockets->clear();
            for (uint32_t i = change >= 2 ? pick(3) : 0; i > 0 && !sockets->empty(); --i)
                sockets->erase(sockets->begin() + pick(sockets->size()));
            for (uint32_t i = change == 3 ? pick(60) : change == 2 ? 1 + pick(3) : 0; i > 0; --i) {
                mib::Socket s{};
                s.family = pick(2) ? AF_INET : AF_INET6;
                s.v6only = 1;
                const size_t length = s.family == AF_INET ? 4 : 16;
                // IPv6 addresses from 2001:db8::/32, so none is mapped or link-local.
                for (size_t b = 0; b < length; ++b) s.local[b] = byte(), s.remote[b] = byte();
                if (length == 16) std::copy_n("\x20\x01\x0d\xb8", 4, s.local), std::copy_n("\x20\x01\x0d\xb8", 4, s.remote);
                s.localPort = port();
                s.remotePort = port();
                if (sockets == &gUdpSockets && pick(2)) std::fill_n(s.remote, 16, 0), s.remotePort = 0;
                s.kernelState = static_cast<uint8_t>(sockets == &gUdpSockets ? 7 : 1 + pick(12));
                s.inode = pick(4) ? 1 + pick(400) : 0;
                sockets->insert(sockets->begin() + pick(sockets->size() + 1), s);
            }
        }
        const View view = ViewOf();
        auto any = [&] { return std::next(view.begin(), pick(view.size()))->first; };
        // GETNEXT of each name: the objects that follow them, or a failure when one has none.
        auto next = [&](const std::vector<Oid>& names) {
            const auto got = Query(SNMP_PDU_GETNEXT, names);
            bool all = true;
            for (const Oid& n : names) all = all && view.upper_bound(n) != view.end();
            EXPECT_EQ(all ? names.size() : 0, got.size());
            for (size_t i = 0; i < got.size() && i < names.size(); ++i)
                EXPECT_EQ((std::pair<Oid, int64_t>(*view.upper_bound(names[i]))), got[i]) << "round " << round;
            return got.empty() ? Oid{} : got[0].first;
        };
        // Starting a walk at each table reads it anew, the connections after the
        // listeners, whose dump they take. (A walk started at an empty table runs on
        // into the next one, whose rows may be up to a second old.)
        for (const Oid& table : std::vector<Oid>{{1, 3, 6, 1, 2, 1, 6, 13}, {1, 3, 6, 1, 2, 1, 6, 20},
                                                 {1, 3, 6, 1, 2, 1, 6, 19}, {1, 3, 6, 1, 2, 1, 7, 5},
                                                 {1, 3, 6, 1, 2, 1, 7, 7}, {1, 3, 6, 1, 2, 1, 25, 4, 2}}) {
            const auto first = view.upper_bound(table);
            if (first != view.end() && std::equal(table.begin(), table.end(), first->first.begin())) next({table});
            else Query(SNMP_PDU_GETNEXT, {table});
        }

        Oid at = {1, 3, 6, 1, 2, 1, 6, 13};
        for (int step = 0; step < 400 && !at.empty() && !HasFailure(); ++step) {
            if (pick(8) == 0 && !view.empty()) {  // elsewhere: an object's name, cut, bumped or lengthened
                at = any();
                at.resize(at.size() - pick(4) + pick(3) * pick(2));
                at.back() += pick(3) - 1;
            }
            if (pick(10) == 0 && !view.empty()) next({at, any(), at});  // several names, each on its own
            at = next({at});
            if (at.empty() || pick(2)) continue;
            Oid row = pick(6) ? at : any();  // the row's columns, or another row's
            std::vector<Oid> names;
            const auto [entry, columns] = ColumnsOf(row);
            for (uint32_t c : columns) names.push_back(row), names.back()[entry] = c;
            const auto got = Query(SNMP_PDU_GET, names);
            ASSERT_EQ(names.size(), got.size());
            for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(view.at(names[i]), got[i].second);
        }
    }
}

TEST(MibAgentCursor, WritesALinkLocalAddressWithItsZone) {
    gTcp.clear(), gUdp.clear(), gUdpSockets.clear();
    mib::Socket s{};
    s.family = AF_INET6;
    inet_pton(AF_INET6, "fe80::1", s.local);
    inet_pton(AF_INET6, "fe80::2", s.remote);
    s.localPort = 5000, s.remotePort = 6000, s.kernelState = 1, s.ifindex = 0x01020304;
    gTcpSockets = {s};
    // ipv6z: 20 bytes, the interface index after the address, most significant first.
    const Oid name = {1, 3, 6, 1, 2, 1, 6, 19, 1, 7, 4, 20, 0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1,
                      2, 3, 4, 5000, 4, 20, 0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 1, 2, 3, 4, 6000};
    const auto got = Query(SNMP_PDU_GETNEXT, {{1, 3, 6, 1, 2, 1, 6, 19}});
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(name, got[0].first);
    gTcpSockets.clear();
}

}  // namespace

// The program reads the three tables of both families one after another: the kernel is
// asked once for its TCP sockets and once for its UDP sockets, however the walks run
// off one table into the next, and a listener comes before the connections of its port.
// A second read of the same tables asks nothing of the owner cache.
TEST(MibAgentCursor, AReadOfTheTablesTakesOneDumpOfEachProtocol) {
    auto socket = [](uint8_t state, uint8_t lastByte, uint16_t localPort, uint16_t remotePort, uint32_t inode) {
        mib::Socket s{};
        s.family = AF_INET;
        s.kernelState = state;
        s.v6only = -1;
        std::copy_n("\x0a\x00\x00\x01", 4, s.local);
        if (remotePort != 0) std::copy_n("\x0a\x00\x00", 3, s.remote), s.remote[3] = lastByte;
        s.localPort = localPort;
        s.remotePort = remotePort;
        s.inode = inode;
        return s;
    };
    gTcpSockets = {socket(1, 9, 80, 5000, 11), socket(10, 0, 80, 0, 12), socket(1, 7, 22, 6000, 13)};
    gUdpSockets = {socket(7, 0, 53, 0, 14)};
    gTcp.clear();
    gUdp = {{{10, 0, 0, 1}, 53, false}};  // the older table has the IPv4 endpoint too
    std::this_thread::sleep_for(std::chrono::milliseconds(600));  // what earlier tests read has aged
    CNetTableAgent client(SnmpExtensionInit, SnmpExtensionQuery);
    ASSERT_TRUE(client.Initialize());
    for (int read = 0; read < 2; ++read) {
        gTcpSocketReads = gUdpSocketReads = gOwnerLookups = 0;
        ASSERT_EQ(0, client.ReadTables()) << client.errorText;
        EXPECT_EQ(gTcpSocketReads, 1);
        EXPECT_EQ(gUdpSocketReads, 1);
        // The tables as they were, and nothing known of their holders changed: the
        // owners are not asked for again.
        if (read == 1) {
            EXPECT_EQ(gOwnerLookups, 0);
        }
        ASSERT_EQ(client.GetRecordCount(), 4);
        EXPECT_EQ(client.records[0].localPort, 22);
        EXPECT_EQ(client.records[1].stateIndex, STATE_LISTEN);
        EXPECT_EQ(client.records[2].remotePort, 5000);
        EXPECT_STREQ(client.records[3].protocol, "UDP");
    }
}

// A read written over the rows of the one before leaves equal rows as they were and
// tells any change: a row, fewer, more, or a dump cut short and read again elsewhere.
TEST(KernelRows, AReadOverTheLastTellsWhetherAnyRowChanged) {
    std::vector<mib::UdpEndpoint> rows;
    auto read = [&](std::initializer_list<uint16_t> ports, bool cutShort = false) {
        mib::RowsOver<mib::UdpEndpoint> over(rows);
        if (cutShort) {
            over.push_back({{127, 0, 0, 1}, *ports.begin(), false});
            over.resize(0);
        }
        for (uint16_t port : ports) over.push_back({{127, 0, 0, 1}, port, false});
        return over.Finish();
    };
    auto ports = [&] {
        std::vector<uint16_t> out;
        for (const auto& r : rows) out.push_back(r.localPort);
        return out;
    };
    EXPECT_TRUE(read({1, 2, 3}));
    EXPECT_FALSE(read({1, 2, 3}));
    EXPECT_TRUE(read({1, 5, 3}));
    EXPECT_TRUE(read({1, 5}));
    EXPECT_TRUE(read({1, 5, 6}));
    EXPECT_EQ((std::vector<uint16_t>{1, 5, 6}), ports());
    EXPECT_TRUE(read({1, 5, 6}, true));
    EXPECT_EQ((std::vector<uint16_t>{1, 5, 6}), ports());
}
