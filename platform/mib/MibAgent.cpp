// The MIB-II extension agent: tcpConnTable (1.3.6.1.2.1.6.13) and udpTable
// (1.3.6.1.2.1.7.5) served from the kernel's IPv4 tables; beside them their
// successors of both families with the owning process, tcpConnectionTable (6.19),
// tcpListenerTable (6.20) and udpEndpointTable (7.7), and hrSWRunTable
// (1.3.6.1.2.1.25.4.2) naming the processes those report.
//
// A table read costs far more than a request, and a client walks a table with two
// requests per row, so each table is served from a sorted snapshot. A snapshot is
// re-read when a GETNEXT starts a walk at the table (its name lies within the table,
// at or before its first column, or is a prefix of it) or when it is more than a
// second old; a GET shortly after a GETNEXT always answers from the snapshot that
// GETNEXT used, so the rows of one walk agree with each other. A GETNEXT that runs
// off the end of one table into the next is no start of a walk there. A re-read whose
// dump is the one the snapshot was built from keeps the snapshot as it is.
//
// The three tables of both families share the kernel's dumps: the TCP sockets once
// for connections and listeners, the UDP sockets for the endpoints. A walk started at
// a table reads the kernel anew, except that a walk of the connections within half a
// second of one of the listeners takes the dump that one read; a walk running on into
// a table brings it up to the newest dump of its protocol, reading the kernel only
// when that is over half a second old. A client that walks the listeners, then the
// connections and then the endpoints costs one dump of each protocol.
//
// A walk asks for the row after the one it was last given, and then for that row's
// columns, so each table keeps a cursor on the row it answered last: a request that
// names the cursor's row, or the row before it (two columns of a row asked together),
// costs a comparison or two, any other a binary search.
#include "platform/SnmpTypes.h"
#include "platform/mib/KernelTables.h"
#include "platform/mib/SocketOwners.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <mutex>
#include <netinet/in.h>
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

constexpr uint32_t kMaxEntryLength = 10;  // table prefix plus the entry's ".1"
// A udpEndpointTable instance: two link-local addresses with their zones (1 + 1 + 20
// and a port each), and the socket's inode.
constexpr uint32_t kMaxInstance = 47;
constexpr uint32_t kMaxNameLength = kMaxEntryLength + 1 + kMaxInstance;
constexpr size_t kNoRow = SIZE_MAX;

// The sub-identifiers after a name's column number.
struct Instance {
    const uint32_t* ids;
    uint32_t length;
};

// Lexicographic order of OIDs: a proper prefix sorts before its extensions.
int CompareIds(const uint32_t* a, uint32_t aLength, const uint32_t* b, uint32_t bLength) {
    uint32_t n = std::min(aLength, bLength);
    for (uint32_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    if (aLength == bLength) return 0;
    return aLength < bLength ? -1 : 1;
}

// One table of the view: its entry's name, its readable columns and a snapshot of its
// rows in OID order.
struct Table {
    Table(std::initializer_list<uint32_t> entryIds, std::initializer_list<uint32_t> readable)
        : entryLength(static_cast<uint32_t>(entryIds.size())), columnCount(static_cast<uint32_t>(readable.size())) {
        std::copy(entryIds.begin(), entryIds.end(), entry);
        std::copy(readable.begin(), readable.end(), columns);
    }
    virtual ~Table() = default;
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    virtual size_t Size() const = 0;
    virtual Instance InstanceOf(size_t row) const = 0;
    // Reads the rows anew; leaves them untouched, with rebuilt false, when the kernel's
    // dump is the one they were built from. False when the table cannot be read.
    // walkStart: a GETNEXT starts a walk at the table, which wants the newest rows.
    virtual bool Load(Clock::time_point now, bool walkStart, bool& rebuilt) = 0;
    virtual void Clear() = 0;
    // Whether a newer dump than the rows were built from is at hand (no kernel read).
    virtual bool Behind(Clock::time_point) const { return false; }
    // The value of a readable column of a row; false when memory runs out.
    virtual bool Value(uint32_t column, size_t row, AsnAny& value) = 0;

    uint32_t entry[kMaxEntryLength];
    uint32_t entryLength;
    uint32_t columns[5];  // ascending
    uint32_t columnCount;

    bool loaded = false;
    size_t cursor = kNoRow;  // the row answered last, a hint checked before use
    Clock::time_point readAt{};
    Clock::time_point lastWalkAt{};
};

bool Refresh(Table& t, Clock::time_point now, bool walkStart = false) {
    bool rebuilt = true;
    if (!t.Load(now, walkStart, rebuilt)) {
        t.Clear();
        t.loaded = false;
        t.cursor = kNoRow;
        return false;
    }
    if (rebuilt) t.cursor = kNoRow;
    t.loaded = true;
    t.readAt = now;
    return true;
}

// A block handed to the caller, who frees it with SnmpUtilMemFree (free). Every byte of
// it is written here, so it needs no clearing, and plain malloc serves small blocks
// faster than calloc does: a walk takes two for every row.
void* CallerBlock(size_t bytes) { return std::malloc(bytes); }

bool SetOctets(AsnAny& value, uint8_t type, const void* bytes, size_t length) {
    auto* block = static_cast<uint8_t*>(CallerBlock(std::max<size_t>(length, 1)));
    if (block == nullptr) return false;
    if (length > 0) std::memcpy(block, bytes, length);
    value.asnType = type;
    value.asnValue.string = AsnOctetString{block, static_cast<uint32_t>(length), 1};
    return true;
}

void SetInteger(AsnAny& value, int32_t number) {
    value.asnType = ASN_INTEGER;
    value.asnValue.number = number;
}

// Reads a dump over the one the rows were built from (guarded by gLock, like the
// tables): a new dump equal to it is the common case, and compares far faster than it
// sorts. False when the read failed, which empties the table; rebuilt tells whether
// the dump changed.
template <typename Kernel>
bool ReadDump(std::vector<Kernel>& dump, bool (*read)(mib::Source, mib::RowsOver<Kernel>&), bool& rebuilt) {
    mib::RowsOver<Kernel> over(dump);
    if (!read(kSource, over)) {
        dump.clear();
        return false;
    }
    rebuilt = over.Finish();
    return true;
}

// ---- tcpConnTable and udpTable: IPv4 only, fixed-length instances --------------

// One row: its instance sub-identifiers and, for TCP, tcpConnState.
struct Row {
    uint32_t inst[10];
    int32_t state;
    // The instance packed into two numbers (bytes and ports fit), which sort in the
    // same order as the sub-identifiers, only faster.
    uint64_t key[2];
};

uint64_t PackEndpoint(const uint32_t* ids) {
    return (uint64_t{ids[0]} << 40) | (uint64_t{ids[1]} << 32) | (uint64_t{ids[2]} << 24) |
           (uint64_t{ids[3]} << 16) | uint64_t{ids[4]};
}

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
int DuplicateRank(int32_t state) { return state == 11 ? 1 : 0; }

struct ClassicTable : Table {
    ClassicTable(std::initializer_list<uint32_t> entryIds, std::initializer_list<uint32_t> readable,
                 uint32_t instance)
        : Table(entryIds, readable), instanceLength(instance) {}
    size_t Size() const override { return rows.size(); }
    Instance InstanceOf(size_t row) const override { return {rows[row].inst, instanceLength}; }
    void Clear() override { rows.clear(); }

    // The row's address at ids[at..at+3] as an IpAddress.
    bool Address(const Row& r, int at, AsnAny& value) const {
        uint8_t bytes[4];
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(r.inst[at + i]);
        return SetOctets(value, ASN_IPADDRESS, bytes, 4);
    }

    uint32_t instanceLength;
    std::vector<Row> rows;
};

struct TcpConnTable : ClassicTable {
    TcpConnTable() : ClassicTable({1, 3, 6, 1, 2, 1, 6, 13, 1}, {1, 2, 3, 4, 5}, 10) {}

    bool Load(Clock::time_point, bool, bool& rebuilt) override {
        if (!ReadDump(dump, mib::ReadTcpTable, rebuilt)) return false;
        if (!rebuilt) return true;
        rows.clear();
        rows.reserve(dump.size());
        for (const auto& c : dump) {
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
            return DuplicateRank(a.state) < DuplicateRank(b.state);
        });
        rows.erase(std::unique(rows.begin(), rows.end(), InstanceEqual), rows.end());
        return true;
    }

    bool Value(uint32_t column, size_t row, AsnAny& value) override {
        const Row& r = rows[row];
        switch (column) {
        case 1: SetInteger(value, r.state); return true;
        case 2: return Address(r, 0, value);
        case 3: SetInteger(value, static_cast<int32_t>(r.inst[4])); return true;
        case 4: return Address(r, 5, value);
        default: SetInteger(value, static_cast<int32_t>(r.inst[9])); return true;
        }
    }

    std::vector<mib::TcpConn> dump;
};

struct UdpTable : ClassicTable {
    UdpTable() : ClassicTable({1, 3, 6, 1, 2, 1, 7, 5, 1}, {1, 2}, 5) {}

    bool Load(Clock::time_point, bool, bool& rebuilt) override {
        if (!ReadDump(dump, mib::ReadUdpTable, rebuilt)) return false;
        if (!rebuilt) return true;
        rows.clear();
        rows.reserve(dump.size());
        for (const auto& e : dump) {
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

    bool Value(uint32_t column, size_t row, AsnAny& value) override {
        const Row& r = rows[row];
        if (column == 1) return Address(r, 0, value);
        SetInteger(value, static_cast<int32_t>(r.inst[4]));
        return true;
    }

    std::vector<mib::UdpEndpoint> dump;
};

// ---- tcpConnectionTable, tcpListenerTable, udpEndpointTable: both families -------

// InetAddressType values.
constexpr uint32_t kUnknown = 0, kIpv4 = 1, kIpv6 = 2, kIpv6z = 4;

bool AllZero(const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

// An address as index sub-identifiers (type, length, bytes); returns how many. The
// IPv4 a mapped address carries is an ipv4 address; a link-local one needs its zone;
// an address that stands for "any", in either family, is written by the caller.
uint32_t EncodeAddress(const mib::Socket& s, const uint8_t* a, uint32_t* ids) {
    static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    uint32_t n = 0;
    const bool v6 = s.family == AF_INET6;
    if (!v6 || std::memcmp(a, kMapped, sizeof kMapped) == 0) {
        const uint8_t* v4 = v6 ? a + 12 : a;
        ids[n++] = kIpv4;
        ids[n++] = 4;
        for (int i = 0; i < 4; ++i) ids[n++] = v4[i];
        return n;
    }
    const bool linkLocal = a[0] == 0xfe && (a[1] & 0xc0) == 0x80;
    const bool zoned = linkLocal && s.ifindex != 0;
    ids[n++] = zoned ? kIpv6z : kIpv6;
    ids[n++] = zoned ? 20 : 16;
    for (int i = 0; i < 16; ++i) ids[n++] = a[i];
    if (zoned) {
        for (int shift = 24; shift >= 0; shift -= 8) ids[n++] = (s.ifindex >> shift) & 0xff;
    }
    return n;
}

// A local address: a dual-stack socket's :: takes both families, so it has no type.
uint32_t EncodeLocal(const mib::Socket& s, uint32_t* ids) {
    uint32_t n = 0;
    if (s.family == AF_INET6 && s.v6only == 0 && AllZero(s.local, 16)) {
        ids[n++] = kUnknown;
        ids[n++] = 0;
    } else {
        n = EncodeAddress(s, s.local, ids);
    }
    ids[n++] = s.localPort;
    return n;
}

// One row of a table of either family: where its instance lies in the table's pool
// of sub-identifiers, its state and its socket. Small, as a snapshot of tens of
// thousands of sockets holds one for each.
struct WideRow {
    uint64_t head;    // the instance's first sub-identifiers packed, in their order
    uint64_t tail;    // the sub-identifiers after those, packed alike
    uint32_t at;      // the instance's first sub-identifier in the pool
    uint8_t length;   // at most kMaxInstance
    int8_t state;     // tcpConnectionState; unused elsewhere
    uint32_t inode;   // 0 when no descriptor holds the socket
    uint32_t pid;     // 0 when there is none or it cannot be seen
};

// The start of an instance (type, length, then the address's first bytes, or an IPv4
// address and its port, or the port of an address of unknown type) in one number
// that sorts as the sub-identifiers do: rows differ there far more often than not,
// and one comparison of numbers held in the rows is far cheaper than a walk through
// the pool.
uint64_t HeadOf(const uint32_t* ids, uint32_t n) {
    // Every instance this agent makes starts with a whole local address and its port.
    const uint64_t head = uint64_t{ids[0]} << 56 | uint64_t{ids[1]} << 48;
    switch (ids[1]) {
    case 0: return n >= 3 ? head | uint64_t{ids[2]} << 32 : head;
    case 4:
        return n >= 7 ? head | uint64_t{ids[2]} << 40 | uint64_t{ids[3]} << 32 | uint64_t{ids[4]} << 24 |
                            uint64_t{ids[5]} << 16 | ids[6]
                      : head;
    default:
        if (n < 8) return head;
        return head | uint64_t{ids[2]} << 40 | uint64_t{ids[3]} << 32 | uint64_t{ids[4]} << 24 |
               uint64_t{ids[5]} << 16 | uint64_t{ids[6]} << 8 | ids[7];
    }
}

// The sub-identifiers after those HeadOf packs, in one number that sorts as they do:
// the remote end of a connection (many share a local address and port), or the next
// bytes of an IPv6 address.
uint64_t TailOf(const uint32_t* ids, uint32_t n) {
    const uint32_t packed = ids[1] == 0 ? 3 : ids[1] == 4 ? 7 : 8;
    if (n <= packed) return 0;
    if (ids[1] == 0 || ids[1] == 4) return HeadOf(ids + packed, n - packed);
    uint64_t tail = 0;
    for (uint32_t i = 0; i < 8 && packed + i < n; ++i) tail |= uint64_t{ids[packed + i]} << (56 - 8 * i);
    return tail;
}

enum class Kind { Connections, Listeners, Udp };

// The kernel's LISTEN state number.
constexpr uint8_t kKernelListen = 10;

// How long a dump serves the tables built from it before a table re-read takes a new one.
constexpr auto kSharedDumpAge = std::chrono::milliseconds(500);

// The sockets of one protocol, both families, read once for every table built from them.
struct SocketSource {
    explicit SocketSource(bool (*reader)(mib::Source, mib::RowsOver<mib::Socket>&)) : read(reader) {}
    bool (*read)(mib::Source, mib::RowsOver<mib::Socket>&);
    std::vector<mib::Socket> dump;
    Clock::time_point readAt{};
    uint64_t reads = 0;       // counts dumps read
    uint64_t generation = 0;  // counts dumps that differ from the one before
    bool ok = false;
    bool readForListeners = false;  // the last dump was read to start a walk of the listeners
};
SocketSource gTcpSockets(mib::ReadTcpSockets);
SocketSource gUdpSockets(mib::ReadUdpSockets);

constexpr uint64_t kNotBuilt = UINT64_MAX;

struct SocketTable : Table {
    SocketTable(std::initializer_list<uint32_t> entryIds, std::initializer_list<uint32_t> readable, Kind k)
        : Table(entryIds, readable), kind(k), source(k == Kind::Udp ? gUdpSockets : gTcpSockets) {}

    size_t Size() const override { return rows.size(); }
    Instance InstanceOf(size_t row) const override { return {pool.data() + rows[row].at, rows[row].length}; }
    void Clear() override {
        rows.clear();
        pool.clear();
        builtFrom = kNotBuilt;
        lookedUpFrom = kNotBuilt;
    }

    // The socket dump this table is built from; changed false when it is the one before.
    const std::vector<mib::Socket>* Dump(Clock::time_point now, bool walkStart, bool& changed) {
        SocketSource& s = source;
        bool share = s.ok && now - s.readAt <= kSharedDumpAge;
        // A walk reads the kernel anew, but for one of the connections that follows one
        // of the listeners, as a client reads the two tables.
        if (walkStart) share = share && kind == Kind::Connections && s.readForListeners && walkedRead != s.reads;
        if (!share) {
            bool differs = true;
            s.ok = ReadDump(s.dump, s.read, differs);
            if (!s.ok) return nullptr;
            s.readAt = now;
            ++s.reads;
            if (differs) ++s.generation;
            s.readForListeners = walkStart && kind == Kind::Listeners;
        }
        if (walkStart) walkedRead = s.reads;
        changed = builtFrom != s.generation;
        builtFrom = s.generation;
        return &s.dump;
    }

    bool Behind(Clock::time_point now) const override {
        return source.ok && source.generation != builtFrom && now - source.readAt <= kSharedDumpAge;
    }

    bool Load(Clock::time_point now, bool walkStart, bool& rebuilt) override {
        ownersKnown = false;  // a socket's holder can change while the dump stays the same
        const std::vector<mib::Socket>* dump = Dump(now, walkStart, rebuilt);
        if (dump == nullptr) return false;
        if (!rebuilt) return true;
        Build(*dump);
        return true;
    }

    void Build(const std::vector<mib::Socket>& dump) {
        rows.clear();
        pool.clear();
        uint32_t ids[kMaxInstance];
        for (const mib::Socket& s : dump) {
            WideRow r;
            r.inode = s.inode;
            r.pid = 0;
            r.state = static_cast<int8_t>(mib::TcpConnStateFromKernel(s.kernelState));
            uint32_t n = 0;
            if (kind == Kind::Listeners) {
                if (s.kernelState != kKernelListen) continue;
                n = EncodeLocal(s, ids);
            } else if (kind == Kind::Connections) {
                if (r.state == 0 || s.kernelState == kKernelListen) continue;
                n = EncodeLocal(s, ids);
                n += EncodeAddress(s, s.remote, ids + n);
                ids[n++] = s.remotePort;
            } else {
                n = EncodeLocal(s, ids);
                // No remote: an unconnected socket takes datagrams from anywhere.
                if (s.remotePort == 0 && AllZero(s.remote, s.family == AF_INET6 ? 16 : 4)) {
                    ids[n++] = kUnknown;
                    ids[n++] = 0;
                } else {
                    n += EncodeAddress(s, s.remote, ids + n);
                }
                ids[n++] = s.remotePort;
                ids[n++] = s.inode;  // sockets sharing an address and port are told apart so
            }
            r.head = HeadOf(ids, n);
            r.tail = TailOf(ids, n);
            r.at = static_cast<uint32_t>(pool.size());
            r.length = static_cast<uint8_t>(n);
            pool.insert(pool.end(), ids, ids + n);
            rows.push_back(r);
        }
        // By index; a live socket ahead of a TIME_WAIT leftover of the same instance,
        // and of sockets sharing a listening address, the oldest.
        const uint32_t* p = pool.data();
        auto compare = [p](const WideRow& a, const WideRow& b) {
            if (a.head != b.head) return a.head < b.head ? -1 : 1;
            if (a.tail != b.tail) return a.tail < b.tail ? -1 : 1;
            return CompareIds(p + a.at, a.length, p + b.at, b.length);
        };
        std::sort(rows.begin(), rows.end(), [&compare](const WideRow& a, const WideRow& b) {
            const int c = compare(a, b);
            if (c != 0) return c < 0;
            if (DuplicateRank(a.state) != DuplicateRank(b.state)) return DuplicateRank(a.state) < DuplicateRank(b.state);
            return a.inode < b.inode;
        });
        rows.erase(std::unique(rows.begin(), rows.end(),
                               [&compare](const WideRow& a, const WideRow& b) { return compare(a, b) == 0; }),
                   rows.end());
    }

    // The holders of the snapshot's sockets, looked up once per snapshot and only when
    // a client asks for them.
    void FindOwners() {
        if (ownersKnown) return;
        ownersKnown = true;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(readAt.time_since_epoch()).count();
        // The same sockets as at the last lookup, nothing known of any holder changed
        // since, and every holder alive: the answers stand. Sockets nobody was found
        // for are looked for again as often as the cache looks for them.
        if (lookedUpFrom == builtFrom && holdersKept &&
            (!anyUnknown || ms - lookedUpMs < mib::SocketOwners::kFullScanMs) &&
            mib::SocketOwnerEdits() == ownerEdits && mib::SocketOwnersAlive(holders.data(), holders.size()))
            return;
        inodes.resize(rows.size());
        pids.resize(rows.size());
        for (size_t i = 0; i < rows.size(); ++i) inodes[i] = rows[i].inode;
        mib::FindSocketOwners(inodes.data(), pids.data(), rows.size(), ms, static_cast<unsigned>(kind));
        ownerEdits = mib::SocketOwnerEdits();
        lookedUpFrom = builtFrom;
        lookedUpMs = ms;
        anyUnknown = false;
        holders.clear();
        holdersKept = true;
        bool moved = false;
        for (size_t i = 0; i < rows.size(); ++i) {
            const uint32_t pid = pids[i];
            moved = moved || rows[i].pid != pid;
            rows[i].pid = pid;
            anyUnknown = anyUnknown || (pid == 0 && rows[i].inode != 0);
            if (pid == 0 || !holdersKept || (!holders.empty() && holders.back() == pid)) continue;
            if (std::find(holders.begin(), holders.end(), pid) != holders.end()) continue;
            holders.push_back(pid);
            holdersKept = holders.size() <= kMaxHolders;  // beyond, a lookup is as cheap
        }
        if (moved) ++ownersChanged;
    }

    bool Value(uint32_t column, size_t row, AsnAny& value) override {
        if (kind == Kind::Connections && column == 7) {
            SetInteger(value, rows[row].state);
            return true;
        }
        FindOwners();
        value.asnType = ASN_GAUGE32;
        value.asnValue.gauge = rows[row].pid;
        return true;
    }

    Kind kind;
    SocketSource& source;
    std::vector<WideRow> rows;
    std::vector<uint32_t> pool;  // the rows' instances
    bool ownersKnown = false;
    uint64_t ownersChanged = 0;  // counts lookups that changed a row's holder
    uint64_t builtFrom = kNotBuilt;
    uint64_t walkedRead = 0;  // the dump the last walk started on
    // Reused from lookup to lookup.
    std::vector<uint32_t> inodes, pids;
    // What the last lookup was made for and found: the snapshot, the cache's count of
    // changes, whether a socket was left without a holder, and the holders.
    static constexpr size_t kMaxHolders = 256;
    uint64_t lookedUpFrom = kNotBuilt, ownerEdits = 0;
    int64_t lookedUpMs = 0;
    bool anyUnknown = false, holdersKept = false;
    std::vector<uint32_t> holders;
};

// ---- hrSWRunTable: the processes the socket tables name --------------------------

struct ProcessRow {
    uint32_t pid;
    bool read;  // name and path read (at the first request for either)
    uint8_t nameLength;
    uint8_t pathLength;
    char name[64];   // hrSWRunName: at most 64 octets
    char path[128];  // hrSWRunPath: at most 128
};

struct ProcessTable : Table {
    ProcessTable(std::initializer_list<SocketTable*> sources)
        : Table({1, 3, 6, 1, 2, 1, 25, 4, 2, 1}, {2, 4}), socketTables(sources) {}

    size_t Size() const override { return rows.size(); }
    Instance InstanceOf(size_t row) const override { return {&rows[row].pid, 1}; }
    void Clear() override {
        rows.clear();
        sourceMarks.clear();
    }
    // Gathered from the socket tables, it is as new as they are: asking them costs little.
    bool Behind(Clock::time_point) const override { return true; }

    bool Load(Clock::time_point now, bool, bool& rebuilt) override {
        std::vector<uint64_t> marks;
        for (SocketTable* t : socketTables) {
            if ((!t->loaded || now - t->readAt > kMaxSnapshotAge) && !Refresh(*t, now)) return false;
            t->FindOwners();
            marks.push_back(t->builtFrom);
            marks.push_back(t->ownersChanged);
        }
        // The processes are gathered again only when a socket table or a holder changed.
        rebuilt = false;
        if (marks != sourceMarks) {
            sourceMarks = std::move(marks);
            found.clear();
            for (SocketTable* t : socketTables) {
                for (const WideRow& r : t->rows) {
                    if (r.pid != 0) found.push_back(r.pid);
                }
            }
            std::sort(found.begin(), found.end());
            found.erase(std::unique(found.begin(), found.end()), found.end());
            rebuilt = found.size() != rows.size() ||
                      !std::equal(found.begin(), found.end(), rows.begin(),
                                  [](uint32_t pid, const ProcessRow& r) { return pid == r.pid; });
            if (rebuilt) {
                rows.resize(found.size());
                for (size_t i = 0; i < found.size(); ++i) rows[i].pid = found[i];
            }
        }
        for (ProcessRow& r : rows) r.read = false;  // a process may exec another program
        return true;
    }

    bool Value(uint32_t column, size_t row, AsnAny& value) override {
        ProcessRow& r = rows[row];
        if (!r.read) {
            r.read = true;
            r.nameLength = static_cast<uint8_t>(mib::ReadProcessName(r.pid, r.name, sizeof r.name));
            r.pathLength = static_cast<uint8_t>(mib::ReadProcessPath(r.pid, r.path, sizeof r.path));
        }
        return column == 2 ? SetOctets(value, ASN_OCTETSTRING, r.name, r.nameLength)
                           : SetOctets(value, ASN_OCTETSTRING, r.path, r.pathLength);
    }

    std::vector<SocketTable*> socketTables;
    std::vector<ProcessRow> rows;
    std::vector<uint32_t> found;
    std::vector<uint64_t> sourceMarks;  // what the rows were gathered from
};

std::mutex gLock;
TcpConnTable gTcpConnTable;
SocketTable gTcpConnectionTable({1, 3, 6, 1, 2, 1, 6, 19, 1}, {7, 8}, Kind::Connections);
SocketTable gTcpListenerTable({1, 3, 6, 1, 2, 1, 6, 20, 1}, {4}, Kind::Listeners);
UdpTable gUdpTable;
SocketTable gUdpEndpointTable({1, 3, 6, 1, 2, 1, 7, 7, 1}, {8}, Kind::Udp);
ProcessTable gProcessTable({&gTcpConnectionTable, &gTcpListenerTable, &gUdpEndpointTable});

// In OID order, as GETNEXT goes from one to the next.
Table* const gTables[] = {&gTcpConnTable, &gTcpConnectionTable, &gTcpListenerTable,
                          &gUdpTable,     &gUdpEndpointTable,   &gProcessTable};

// The subtree of every table, handed back as the supported view. Static: the caller
// never frees it.
uint32_t gViewIds[] = {1, 3, 6, 1, 2, 1};

// One object of the view: a table, a column and a row of its snapshot.
struct Object {
    Table* table;
    uint32_t column;
    size_t row;
};

enum class Found { Yes, No, Failed };

bool SameInstance(Instance a, const uint32_t* ids, uint32_t length) {
    return a.length == length && std::equal(ids, ids + length, a.ids);
}

// The first row whose instance follows ids (Size() when none does). A walk names the
// row answered last, or, asking two columns of a row at once, the row before it.
size_t RowAfter(const Table& t, const uint32_t* ids, uint32_t length) {
    const size_t size = t.Size();
    if (t.cursor < size) {
        if (SameInstance(t.InstanceOf(t.cursor), ids, length)) return t.cursor + 1;
        if (t.cursor > 0 && SameInstance(t.InstanceOf(t.cursor - 1), ids, length)) return t.cursor;
    }
    size_t low = 0, high = size;
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
    const size_t size = t.Size();
    if (t.cursor < size && SameInstance(t.InstanceOf(t.cursor), ids, length)) return t.cursor;
    size_t low = 0, high = size;
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        const Instance m = t.InstanceOf(middle);
        if (CompareIds(m.ids, m.length, ids, length) < 0) low = middle + 1;
        else high = middle;
    }
    return low < size && SameInstance(t.InstanceOf(low), ids, length) ? low : kNoRow;
}

// The first object of the view after name.
Found FindNext(const AsnObjectIdentifier& name, Clock::time_point now, Object& out) {
    const uint32_t length = name.ids != nullptr ? name.idLength : 0;
    for (Table* table : gTables) {
        Table& t = *table;
        const uint32_t entryLength = t.entryLength;
        uint32_t next = 0;                   // index of the first column to look in
        const uint32_t* instance = nullptr;  // continue after this instance in that column
        uint32_t instanceLength = 0;
        bool startsWalk = false;

        uint32_t common = std::min(length, entryLength);
        int c = CompareIds(name.ids, common, t.entry, common);
        if (c > 0) continue;  // the whole table lies before name
        // From a table before this one, or the space between: a walk running on.
        const bool runsOn = c < 0;
        if (!runsOn && length <= entryLength) {
            startsWalk = true;
        } else if (!runsOn) {
            const uint32_t column = name.ids[entryLength];
            if (column < t.columns[0]) {
                startsWalk = true;
            } else if (column > t.columns[t.columnCount - 1]) {
                continue;
            } else {
                while (t.columns[next] < column) ++next;
                if (t.columns[next] == column) {
                    instance = name.ids + entryLength + 1;
                    instanceLength = length - entryLength - 1;
                }
            }
        }

        if (startsWalk || !t.loaded || now - t.readAt > kMaxSnapshotAge || (runsOn && t.Behind(now))) {
            if (!Refresh(t, now, startsWalk)) return Found::Failed;
        }
        t.lastWalkAt = now;
        if (t.Size() == 0) continue;

        if (instance != nullptr && instanceLength > 0) {
            const size_t row = RowAfter(t, instance, instanceLength);
            if (row < t.Size()) {
                out = {&t, t.columns[next], row};
                return Found::Yes;
            }
            ++next;  // past the column's last row: the next column starts over
        }
        if (next < t.columnCount) {
            out = {&t, t.columns[next], 0};
            return Found::Yes;
        }
    }
    return Found::No;
}

// The object that name names exactly.
Found FindExact(const AsnObjectIdentifier& name, Clock::time_point now, Object& out) {
    if (name.ids == nullptr) return Found::No;
    for (Table* table : gTables) {
        Table& t = *table;
        if (name.idLength <= t.entryLength + 1) continue;
        if (!std::equal(t.entry, t.entry + t.entryLength, name.ids)) continue;
        const uint32_t column = name.ids[t.entryLength];
        if (std::find(t.columns, t.columns + t.columnCount, column) == t.columns + t.columnCount) return Found::No;

        // A GET inside a walk keeps to the walk's snapshot, however old it gets.
        bool stale = now - t.readAt > kMaxSnapshotAge && now - t.lastWalkAt > kMaxSnapshotAge;
        if (!t.loaded || stale) {
            if (!Refresh(t, now)) return Found::Failed;
        }
        const size_t row = RowAt(t, name.ids + t.entryLength + 1, name.idLength - t.entryLength - 1);
        if (row == kNoRow) return Found::No;
        out = {&t, column, row};
        return Found::Yes;
    }
    return Found::No;
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
    std::copy(t.entry, t.entry + t.entryLength, a.name);
    a.name[t.entryLength] = o.column;
    std::copy(instance.ids, instance.ids + instance.length, a.name + t.entryLength + 1);
    a.nameLength = t.entryLength + 1 + instance.length;
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
        bool made = f == Found::Yes && o.table->Value(o.column, o.row, a.value);
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
