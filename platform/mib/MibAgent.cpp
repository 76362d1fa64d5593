// The MIB-II extension agent: tcpConnTable (1.3.6.1.2.1.6.13) and udpTable
// (1.3.6.1.2.1.7.5) served from the kernel's IPv4 tables.
//
// A table read costs far more than a request, and a client walks a table with two
// requests per row, so each table is served from a sorted snapshot. A snapshot is
// re-read when a GETNEXT starts a walk at the table (its name lies at or before the
// table's first column) or when it is more than a second old; a GET shortly after a
// GETNEXT always answers from the snapshot that GETNEXT used, so the rows of one
// walk agree with each other.
#include "platform/SnmpTypes.h"
#include "platform/mib/KernelTables.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <vector>

#define MIB_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

#ifdef TOLVARA_MIB_PROC_ONLY
constexpr mib::Source kSource = mib::Source::Proc;
#else
constexpr mib::Source kSource = mib::Source::Netlink;
#endif

using Clock = std::chrono::steady_clock;
constexpr auto kMaxSnapshotAge = std::chrono::seconds(1);

constexpr uint32_t kEntryLength = 9;  // table prefix plus the entry's ".1"
constexpr uint32_t kMaxInstance = 10;

// One row: its instance sub-identifiers and, for TCP, tcpConnState.
struct Row {
    uint32_t inst[kMaxInstance];
    int32_t state;
    // The instance packed into two numbers (bytes and ports fit), which sort in the
    // same order as the sub-identifiers, only faster.
    uint64_t key[2];
};

uint64_t PackEndpoint(const uint32_t* ids) {
    return (uint64_t{ids[0]} << 40) | (uint64_t{ids[1]} << 32) | (uint64_t{ids[2]} << 24) |
           (uint64_t{ids[3]} << 16) | uint64_t{ids[4]};
}

struct Table {
    Table(std::initializer_list<uint32_t> entryIds, uint32_t columnCount, uint32_t instance,
          bool (*loader)(std::vector<Row>&))
        : columns(columnCount), instanceLength(instance), load(loader) {
        std::copy(entryIds.begin(), entryIds.end(), entry);
    }

    uint32_t entry[kEntryLength];
    uint32_t columns;
    uint32_t instanceLength;
    bool (*load)(std::vector<Row>& rows);

    std::vector<Row> rows;
    bool loaded = false;
    Clock::time_point readAt{};
    Clock::time_point lastWalkAt{};
};

void SetAddress(uint32_t* ids, const uint8_t bytes[4]) {
    for (int i = 0; i < 4; ++i) ids[i] = bytes[i];
}

bool InstanceLess(const Row& a, const Row& b) {
    return a.key[0] != b.key[0] ? a.key[0] < b.key[0] : a.key[1] < b.key[1];
}

bool InstanceEqual(const Row& a, const Row& b) {
    return a.key[0] == b.key[0] && a.key[1] == b.key[1];
}

// A TIME_WAIT leftover and a live socket can share one 4-tuple; the live one wins.
int DuplicateRank(const Row& r) { return r.state == 11 ? 1 : 0; }

bool LoadTcp(std::vector<Row>& rows) {
    static thread_local std::vector<mib::TcpConn> conns;
    conns.clear();
    if (!mib::ReadTcpTable(kSource, conns)) return false;
    rows.clear();
    rows.reserve(conns.size());
    for (const auto& c : conns) {
        Row r{};
        SetAddress(r.inst, c.local);
        r.inst[4] = c.localPort;
        SetAddress(r.inst + 5, c.remote);
        r.inst[9] = c.remotePort;
        r.state = c.state;
        r.key[0] = PackEndpoint(r.inst);
        r.key[1] = PackEndpoint(r.inst + 5);
        rows.push_back(r);
    }
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        if (InstanceLess(a, b)) return true;
        if (InstanceLess(b, a)) return false;
        return DuplicateRank(a) < DuplicateRank(b);
    });
    rows.erase(std::unique(rows.begin(), rows.end(), InstanceEqual), rows.end());
    return true;
}

bool LoadUdp(std::vector<Row>& rows) {
    static thread_local std::vector<mib::UdpEndpoint> endpoints;
    endpoints.clear();
    if (!mib::ReadUdpTable(kSource, endpoints)) return false;
    rows.clear();
    rows.reserve(endpoints.size());
    for (const auto& e : endpoints) {
        Row r{};
        SetAddress(r.inst, e.local);
        r.inst[4] = e.localPort;
        r.key[0] = PackEndpoint(r.inst);
        rows.push_back(r);
    }
    std::sort(rows.begin(), rows.end(), InstanceLess);
    rows.erase(std::unique(rows.begin(), rows.end(), InstanceEqual), rows.end());
    return true;
}

std::mutex gLock;
Table gTables[] = {
    {{1, 3, 6, 1, 2, 1, 6, 13, 1}, 5, 10, LoadTcp},
    {{1, 3, 6, 1, 2, 1, 7, 5, 1}, 2, 5, LoadUdp},
};
constexpr int kTcp = 0;

// The subtree of both tables, handed back as the supported view. Static: the caller
// never frees it.
uint32_t gViewIds[] = {1, 3, 6, 1, 2, 1};

bool Refresh(Table& t, Clock::time_point now) {
    if (!t.load(t.rows)) {
        t.rows.clear();
        t.loaded = false;
        return false;
    }
    t.loaded = true;
    t.readAt = now;
    return true;
}

// One object of the view: a table, a column (1-based) and a row of its snapshot.
struct Object {
    Table* table;
    uint32_t column;
    size_t row;
};

enum class Found { Yes, No, Failed };

// Lexicographic order of OIDs: a proper prefix sorts before its extensions.
int CompareIds(const uint32_t* a, uint32_t aLength, const uint32_t* b, uint32_t bLength) {
    uint32_t n = std::min(aLength, bLength);
    for (uint32_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    if (aLength == bLength) return 0;
    return aLength < bLength ? -1 : 1;
}

// The first object of the view after name.
Found FindNext(const AsnObjectIdentifier& name, Clock::time_point now, Object& out) {
    const uint32_t length = name.ids != nullptr ? name.idLength : 0;
    for (Table& t : gTables) {
        uint32_t firstColumn = 1;
        const uint32_t* instance = nullptr;  // continue after this instance in firstColumn
        uint32_t instanceLength = 0;
        bool startsWalk = false;

        uint32_t common = std::min(length, kEntryLength);
        int c = CompareIds(name.ids, common, t.entry, common);
        if (c > 0) continue;  // the whole table lies before name
        if (c < 0 || length <= kEntryLength) {
            startsWalk = true;
        } else {
            uint32_t column = name.ids[kEntryLength];
            if (column == 0) {
                startsWalk = true;
            } else if (column > t.columns) {
                continue;
            } else {
                firstColumn = column;
                instance = name.ids + kEntryLength + 1;
                instanceLength = length - kEntryLength - 1;
            }
        }

        if (startsWalk || !t.loaded || now - t.readAt > kMaxSnapshotAge) {
            if (!Refresh(t, now)) return Found::Failed;
        }
        t.lastWalkAt = now;
        if (t.rows.empty()) continue;

        if (instance != nullptr && instanceLength > 0) {
            auto it = std::upper_bound(t.rows.begin(), t.rows.end(), 0, [&](int, const Row& r) {
                return CompareIds(instance, instanceLength, r.inst, t.instanceLength) < 0;
            });
            if (it != t.rows.end()) {
                out = {&t, firstColumn, static_cast<size_t>(it - t.rows.begin())};
                return Found::Yes;
            }
            ++firstColumn;  // past the column's last row: the next column starts over
        }
        if (firstColumn <= t.columns) {
            out = {&t, firstColumn, 0};
            return Found::Yes;
        }
    }
    return Found::No;
}

// The object that name names exactly.
Found FindExact(const AsnObjectIdentifier& name, Clock::time_point now, Object& out) {
    if (name.ids == nullptr) return Found::No;
    for (Table& t : gTables) {
        if (name.idLength != kEntryLength + 1 + t.instanceLength) continue;
        if (!std::equal(t.entry, t.entry + kEntryLength, name.ids)) continue;
        uint32_t column = name.ids[kEntryLength];
        if (column < 1 || column > t.columns) return Found::No;

        // A GET inside a walk keeps to the walk's snapshot, however old it gets.
        bool stale = now - t.readAt > kMaxSnapshotAge && now - t.lastWalkAt > kMaxSnapshotAge;
        if (!t.loaded || stale) {
            if (!Refresh(t, now)) return Found::Failed;
        }
        const uint32_t* instance = name.ids + kEntryLength + 1;
        auto it = std::lower_bound(t.rows.begin(), t.rows.end(), 0, [&](const Row& r, int) {
            return CompareIds(r.inst, t.instanceLength, instance, t.instanceLength) < 0;
        });
        if (it == t.rows.end() || !std::equal(instance, instance + t.instanceLength, it->inst)) {
            return Found::No;
        }
        out = {&t, column, static_cast<size_t>(it - t.rows.begin())};
        return Found::Yes;
    }
    return Found::No;
}

// The value of an object, written into value; false when memory runs out.
bool MakeValue(const Object& o, AsnAny& value) {
    const Row& r = o.table->rows[o.row];
    int addressAt = -1;
    value = AsnAny{};
    if (o.table == &gTables[kTcp]) {
        switch (o.column) {
        case 1: value.asnType = ASN_INTEGER; value.asnValue.number = r.state; break;
        case 2: addressAt = 0; break;
        case 3: value.asnType = ASN_INTEGER; value.asnValue.number = static_cast<int32_t>(r.inst[4]); break;
        case 4: addressAt = 5; break;
        default: value.asnType = ASN_INTEGER; value.asnValue.number = static_cast<int32_t>(r.inst[9]); break;
        }
    } else if (o.column == 1) {
        addressAt = 0;
    } else {
        value.asnType = ASN_INTEGER;
        value.asnValue.number = static_cast<int32_t>(r.inst[4]);
    }
    if (addressAt >= 0) {
        auto* bytes = static_cast<uint8_t*>(SnmpUtilMemAlloc(4));
        if (bytes == nullptr) return false;
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(r.inst[addressAt + i]);
        value.asnType = ASN_IPADDRESS;
        value.asnValue.address = AsnOctetString{bytes, 4, 1};
    }
    return true;
}

bool MakeName(const Object& o, AsnObjectIdentifier& name) {
    const Table& t = *o.table;
    const uint32_t length = kEntryLength + 1 + t.instanceLength;
    auto* ids = static_cast<uint32_t*>(SnmpUtilMemAlloc(length * sizeof(uint32_t)));
    if (ids == nullptr) return false;
    std::copy(t.entry, t.entry + kEntryLength, ids);
    ids[kEntryLength] = o.column;
    std::copy(t.rows[o.row].inst, t.rows[o.row].inst + t.instanceLength, ids + kEntryLength + 1);
    name = AsnObjectIdentifier{length, ids};
    return true;
}

// Releases what a value owns, by the same rule the caller frees with.
struct Answer {
    AsnObjectIdentifier name{0, nullptr};  // set for GETNEXT only
    AsnAny value{};
};

void Discard(std::vector<Answer>& answers) {
    for (auto& a : answers) {
        SnmpUtilOidFree(&a.name);
        SnmpUtilAsnAnyFree(&a.value);
    }
}

}  // namespace

MIB_EXPORT int32_t SnmpExtensionInit(uint32_t /*uptimeReference*/, void** trapEvent,
                                     AsnObjectIdentifier* supportedView) {
    if (trapEvent != nullptr) *trapEvent = nullptr;  // this agent sends no traps
    if (supportedView != nullptr) {
        supportedView->idLength = sizeof gViewIds / sizeof gViewIds[0];
        supportedView->ids = gViewIds;
    }
    return 1;
}

// Either every binding is answered or none is touched: on an error the list comes
// back as it went in, with the 1-based position of the binding that failed.
MIB_EXPORT int32_t SnmpExtensionQuery(uint8_t pduType, SnmpVarBindList* varBinds,
                                      AsnInteger32* errorStatus, AsnInteger32* errorIndex) {
    AsnInteger32 ignoredStatus, ignoredIndex;
    if (errorStatus == nullptr) errorStatus = &ignoredStatus;
    if (errorIndex == nullptr) errorIndex = &ignoredIndex;
    *errorStatus = SNMP_ERRORSTATUS_NOERROR;
    *errorIndex = 0;
    if (varBinds == nullptr || (varBinds->len > 0 && varBinds->list == nullptr)) {
        *errorStatus = SNMP_ERRORSTATUS_GENERR;
        return 0;
    }
    if (pduType == SNMP_PDU_SET) {
        // Nothing here is writable; version-1 agents say so with noSuchName.
        *errorStatus = SNMP_ERRORSTATUS_NOSUCHNAME;
        *errorIndex = varBinds->len > 0 ? 1 : 0;
        return 1;
    }
    if (pduType != SNMP_PDU_GET && pduType != SNMP_PDU_GETNEXT) {
        *errorStatus = SNMP_ERRORSTATUS_GENERR;
        return 0;
    }

    std::lock_guard<std::mutex> hold(gLock);
    const auto now = Clock::now();
    std::vector<Answer> answers(varBinds->len);
    for (uint32_t i = 0; i < varBinds->len; ++i) {
        const SnmpVarBind& vb = varBinds->list[i];
        Object o{};
        Found f = pduType == SNMP_PDU_GETNEXT ? FindNext(vb.name, now, o) : FindExact(vb.name, now, o);
        bool made = f == Found::Yes && MakeValue(o, answers[i].value) &&
                    (pduType == SNMP_PDU_GET || MakeName(o, answers[i].name));
        if (!made) {
            Discard(answers);
            *errorIndex = static_cast<AsnInteger32>(i + 1);
            if (f == Found::No) {
                *errorStatus = SNMP_ERRORSTATUS_NOSUCHNAME;
                return 1;
            }
            *errorStatus = SNMP_ERRORSTATUS_GENERR;  // table unreadable or out of memory
            return 0;
        }
    }
    for (uint32_t i = 0; i < varBinds->len; ++i) {
        SnmpVarBind& vb = varBinds->list[i];
        SnmpUtilAsnAnyFree(&vb.value);
        vb.value = answers[i].value;
        if (pduType == SNMP_PDU_GETNEXT) {
            SnmpUtilOidFree(&vb.name);
            vb.name = answers[i].name;
        }
    }
    return 1;
}
