// The MIB-II extension agent: tcpConnTable (1.3.6.1.2.1.6.13) and udpTable
// (1.3.6.1.2.1.7.5) served from the kernel's IPv4 tables.
//
// A table read costs far more than a request, and a client walks a table with two
// requests per row, so each table is served from a sorted snapshot. A snapshot is
// re-read when a GETNEXT starts a walk at the table (its name lies at or before the
// table's first column) or when it is more than a second old; a GET shortly after a
// GETNEXT always answers from the snapshot that GETNEXT used, so the rows of one
// walk agree with each other. A re-read whose dump is the one the snapshot was built
// from keeps the snapshot as it is.
//
// A walk asks for the row after the one it was last given, and then for that row's
// columns, so each table keeps a cursor on the row it answered last: a request that
// names the cursor's row costs one comparison, any other a binary search.
#include "platform/SnmpTypes.h"
#include "platform/mib/KernelTables.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

// The coarse monotonic clock (a few milliseconds a tick), the cheapest to read: every
// request reads it, and a snapshot's age is counted in seconds.
struct Clock {
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<Clock>;
    static time_point now() noexcept {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
        return time_point(std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec));
    }
};
constexpr auto kMaxSnapshotAge = std::chrono::seconds(1);

constexpr uint32_t kEntryLength = 9;  // table prefix plus the entry's ".1"
constexpr uint32_t kMaxInstance = 10;
constexpr uint32_t kMaxNameLength = kEntryLength + 1 + kMaxInstance;
constexpr size_t kNoRow = SIZE_MAX;

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

// The sub-identifiers after a name's column number.
struct Instance {
    const uint32_t* ids;
    uint32_t length;
};

// Reads a table's rows in MIB order, one row per instance. Leaves the rows untouched,
// with rebuilt false, when the kernel's dump is the one they were built from.
using Loader = bool (*)(std::vector<Row>& rows, bool& rebuilt);

struct Table {
    Table(std::initializer_list<uint32_t> entryIds, uint32_t columnCount, uint32_t instance, Loader loader)
        : columns(columnCount), instanceLength(instance), load(loader) {
        std::copy(entryIds.begin(), entryIds.end(), entry);
    }

    Instance InstanceOf(size_t row) const { return {rows[row].inst, instanceLength}; }

    uint32_t entry[kEntryLength];
    uint32_t columns;
    uint32_t instanceLength;
    Loader load;

    std::vector<Row> rows;
    bool loaded = false;
    size_t cursor = kNoRow;  // the row answered last, a hint checked before use
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

// The dumps the rows were built from (guarded by gLock, like the tables): a new dump
// equal to its table's is the common case, and compares far faster than it sorts.
template <typename Kernel>
struct Dumps {
    std::vector<Kernel> fresh, built;
};

// Reads a fresh dump; false when that failed, which empties the table. rebuilt tells
// whether it differs from the built one, which it then replaces.
template <typename Kernel>
bool ReadDump(Dumps<Kernel>& d, bool (*read)(mib::Source, std::vector<Kernel>&), bool& rebuilt) {
    d.fresh.clear();
    if (!read(kSource, d.fresh)) {
        d.built.clear();
        return false;
    }
    rebuilt = !(d.fresh == d.built);
    if (rebuilt) std::swap(d.fresh, d.built);
    return true;
}

bool LoadTcp(std::vector<Row>& rows, bool& rebuilt) {
    static Dumps<mib::TcpConn> dumps;
    if (!ReadDump(dumps, mib::ReadTcpTable, rebuilt)) return false;
    if (!rebuilt) return true;
    rows.clear();
    rows.reserve(dumps.built.size());
    for (const auto& c : dumps.built) {
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
        if (a.key[0] != b.key[0]) return a.key[0] < b.key[0];
        if (a.key[1] != b.key[1]) return a.key[1] < b.key[1];
        return DuplicateRank(a) < DuplicateRank(b);
    });
    rows.erase(std::unique(rows.begin(), rows.end(), InstanceEqual), rows.end());
    return true;
}

bool LoadUdp(std::vector<Row>& rows, bool& rebuilt) {
    static Dumps<mib::UdpEndpoint> dumps;
    if (!ReadDump(dumps, mib::ReadUdpTable, rebuilt)) return false;
    if (!rebuilt) return true;
    rows.clear();
    rows.reserve(dumps.built.size());
    for (const auto& e : dumps.built) {
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
    bool rebuilt = true;
    if (!t.load(t.rows, rebuilt)) {
        t.rows.clear();
        t.loaded = false;
        t.cursor = kNoRow;
        return false;
    }
    if (rebuilt) t.cursor = kNoRow;
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

bool SameInstance(Instance a, const uint32_t* ids, uint32_t length) {
    return a.length == length && std::equal(ids, ids + length, a.ids);
}

// The first row whose instance follows ids (rows.size() when none does).
size_t RowAfter(const Table& t, const uint32_t* ids, uint32_t length) {
    if (t.cursor < t.rows.size() && SameInstance(t.InstanceOf(t.cursor), ids, length)) return t.cursor + 1;
    size_t low = 0, high = t.rows.size();
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        const Instance m = t.InstanceOf(middle);
        if (CompareIds(ids, length, m.ids, m.length) < 0) high = middle;
        else low = middle + 1;
    }
    return low;
}

// The row whose instance is ids, or kNoRow.
size_t RowAt(const Table& t, const uint32_t* ids, uint32_t length) {
    if (t.cursor < t.rows.size() && SameInstance(t.InstanceOf(t.cursor), ids, length)) return t.cursor;
    size_t low = 0, high = t.rows.size();
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        const Instance m = t.InstanceOf(middle);
        if (CompareIds(m.ids, m.length, ids, length) < 0) low = middle + 1;
        else high = middle;
    }
    return low < t.rows.size() && SameInstance(t.InstanceOf(low), ids, length) ? low : kNoRow;
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
            const size_t row = RowAfter(t, instance, instanceLength);
            if (row < t.rows.size()) {
                out = {&t, firstColumn, row};
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
        const size_t row = RowAt(t, name.ids + kEntryLength + 1, name.idLength - kEntryLength - 1);
        if (row == kNoRow) return Found::No;
        out = {&t, column, row};
        return Found::Yes;
    }
    return Found::No;
}

// A block handed to the caller, who frees it with SnmpUtilMemFree (free). Every byte of
// it is written here, so it needs no clearing, and plain malloc serves small blocks
// faster than calloc does: a walk takes two for every row.
void* CallerBlock(size_t bytes) { return std::malloc(bytes); }

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
        auto* bytes = static_cast<uint8_t*>(CallerBlock(4));
        if (bytes == nullptr) return false;
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(r.inst[addressAt + i]);
        value.asnType = ASN_IPADDRESS;
        value.asnValue.address = AsnOctetString{bytes, 4, 1};
    }
    return true;
}

// What one binding is answered with, held until every binding has its answer.
struct Answer {
    uint32_t name[kMaxNameLength];  // GETNEXT: the object's name, nameLength long
    uint32_t nameLength;
    uint32_t* nameBlock;  // GETNEXT: a block for it when the caller's is too short
    AsnAny value;
};

void WriteName(const Object& o, Answer& a) {
    const Table& t = *o.table;
    const Instance instance = t.InstanceOf(o.row);
    std::copy(t.entry, t.entry + kEntryLength, a.name);
    a.name[kEntryLength] = o.column;
    std::copy(instance.ids, instance.ids + instance.length, a.name + kEntryLength + 1);
    a.nameLength = kEntryLength + 1 + instance.length;
}

// Reused from query to query (under gLock), so answering allocates only what the
// caller is handed and frees.
std::vector<Answer> gAnswers;

void Discard(std::vector<Answer>& answers, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        SnmpUtilMemFree(answers[i].nameBlock);
        SnmpUtilAsnAnyFree(&answers[i].value);
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
    std::vector<Answer>& answers = gAnswers;
    if (answers.capacity() > 64) answers = {};  // what a rare long list took goes back
    if (answers.size() < varBinds->len) answers.resize(varBinds->len);
    for (uint32_t i = 0; i < varBinds->len; ++i) {
        answers[i].nameLength = 0;
        answers[i].nameBlock = nullptr;
        answers[i].value = AsnAny{};
    }
    for (uint32_t i = 0; i < varBinds->len; ++i) {
        const SnmpVarBind& vb = varBinds->list[i];
        Answer& a = answers[i];
        Object o{};
        Found f = pduType == SNMP_PDU_GETNEXT ? FindNext(vb.name, now, o) : FindExact(vb.name, now, o);
        bool made = f == Found::Yes && MakeValue(o, a.value);
        if (made) {
            o.table->cursor = o.row;
            if (pduType == SNMP_PDU_GETNEXT) {
                // The caller's own block takes the new name when it is long enough: it
                // frees the name either way.
                WriteName(o, a);
                if (vb.name.ids == nullptr || vb.name.idLength < a.nameLength) {
                    a.nameBlock = static_cast<uint32_t*>(CallerBlock(a.nameLength * sizeof(uint32_t)));
                    made = a.nameBlock != nullptr;
                }
            }
        }
        if (!made) {
            Discard(answers, varBinds->len);
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
        Answer& a = answers[i];
        SnmpUtilAsnAnyFree(&vb.value);
        vb.value = a.value;
        if (pduType == SNMP_PDU_GETNEXT) {
            if (a.nameBlock != nullptr) {
                SnmpUtilOidFree(&vb.name);
                vb.name.ids = a.nameBlock;
            }
            std::copy(a.name, a.name + a.nameLength, vb.name.ids);
            vb.name.idLength = a.nameLength;
        }
    }
    return 1;
}
