// The agent's answers against a plain search of the view it serves, on random tables
// handed to it in place of the kernel's: walks as a client makes them (the row after
// the last answer, then that row's columns) with jumps between, over dumps re-read
// unchanged, reordered or edited.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "platform/SnmpTypes.h"
#include "platform/mib/KernelTables.h"
#include "platform/mib/SocketOwners.h"

extern "C" int32_t SnmpExtensionQuery(uint8_t pduType, SnmpVarBindList* varBinds, AsnInteger32* errorStatus,
                                      AsnInteger32* errorIndex);

namespace {
std::vector<mib::TcpConn> gTcp;
std::vector<mib::UdpEndpoint> gUdp;
}  // namespace

namespace mib {
bool ReadTcpTable(Source, std::vector<TcpConn>& out) { return out.insert(out.end(), gTcp.begin(), gTcp.end()), true; }
bool ReadUdpTable(Source, std::vector<UdpEndpoint>& out) { return out.insert(out.end(), gUdp.begin(), gUdp.end()), true; }
bool ReadTcpSockets(Source, std::vector<Socket>&) { return true; }
bool ReadUdpSockets(Source, std::vector<Socket>&) { return true; }
void FindSocketOwners(const uint32_t*, uint32_t* pids, size_t count, int64_t) { std::fill(pids, pids + count, 0); }
size_t ReadProcessName(uint32_t, char*, size_t) { return 0; }
size_t ReadProcessPath(uint32_t, char*, size_t) { return 0; }
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
    return view;
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
                             v.asnType == ASN_INTEGER ? v.asnValue.number : Number(v.asnValue.address.stream));
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
        next({{1, 3, 6, 1, 2, 1, 6, 13}});  // starting a walk at each table reads it anew
        next({{1, 3, 6, 1, 2, 1, 7, 5}});

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
            for (uint32_t c = 1; c <= (row[6] == 6 ? 5u : 2u); ++c) names.push_back(row), names.back()[9] = c;
            const auto got = Query(SNMP_PDU_GET, names);
            ASSERT_EQ(names.size(), got.size());
            for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(view.at(names[i]), got[i].second);
        }
    }
}

}  // namespace
