#include "monitor/CNetTableAgent.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <limits.h>
#include <net/if.h>
#include <unistd.h>

#include "platform/TextUtil.h"

namespace {

constexpr uint32_t kTcpConnTable[] = {1, 3, 6, 1, 2, 1, 6, 13};
constexpr uint32_t kUdpTable[] = {1, 3, 6, 1, 2, 1, 7, 5};
constexpr uint32_t kTcpConnState[] = {1, 3, 6, 1, 2, 1, 6, 13, 1, 1};
constexpr uint32_t kUdpLocalAddress[] = {1, 3, 6, 1, 2, 1, 7, 5, 1, 1};
constexpr uint32_t kColumnLength = 10;  // the column number is the tenth sub-identifier

// A walk only decodes names that carry an instance under the column it walks, so a
// row's GET names are always well formed, whatever the agent returned.
bool UnderColumn(const AsnObjectIdentifier& name, const uint32_t (&column)[kColumnLength]) {
    return name.ids != nullptr && name.idLength > kColumnLength &&
           std::equal(column, column + kColumnLength, name.ids);
}

bool NameAfter(const AsnObjectIdentifier& next, const std::vector<uint32_t>& sent) {
    const uint32_t* begin = next.ids;
    const uint32_t* end = begin + next.idLength;
    const auto [s, n] = std::mismatch(sent.begin(), sent.end(), begin, end);
    return n != end && (s == sent.end() || *s < *n);
}

bool IsInteger(const AsnAny& v) { return v.asnType == ASN_INTEGER; }

// Values outside these ranges (a state of INT32_MIN among them) describe no row we
// could show, and the state would overflow on its way to an index.
bool IsState(const AsnAny& v) { return IsInteger(v) && v.asnValue.number >= 1 && v.asnValue.number <= 12; }
bool IsPort(const AsnAny& v) { return IsInteger(v) && v.asnValue.number >= 0 && v.asnValue.number <= 65535; }

bool IsAddress(const AsnAny& v) {
    return (v.asnType == ASN_IPADDRESS || v.asnType == ASN_OCTETSTRING) &&
           v.asnValue.address.length == 4 && v.asnValue.address.stream != nullptr;
}

template <size_t N>
void Dotted(const AsnAny& v, char (&out)[N]) {
    static_assert(N >= 16, "a dotted address takes up to 16 characters");
    WriteDottedIPv4(v.asnValue.address.stream, out);
}

// The tables of both families: an entry's column is its tenth sub-identifier too, and
// the row's index follows it.
constexpr uint32_t kTcpConnectionEntry[] = {1, 3, 6, 1, 2, 1, 6, 19, 1};
constexpr uint32_t kTcpListenerEntry[] = {1, 3, 6, 1, 2, 1, 6, 20, 1};
constexpr uint32_t kUdpEndpointEntry[] = {1, 3, 6, 1, 2, 1, 7, 7, 1};
constexpr uint32_t kSwRunName[] = {1, 3, 6, 1, 2, 1, 25, 4, 2, 1, 2};
constexpr uint32_t kEntryLength = 9;

// The address length each InetAddressType carries: unknown, ipv4, ipv6, ipv4z, ipv6z.
constexpr uint32_t kAddressLength[] = {0, 4, 16, 8, 20};
constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

struct InetEnd {
    uint32_t type = 0;
    uint8_t bytes[20] = {};
    uint32_t port = 0;
};

// One end of a row's index at ids[pos] (pos <= n): type, length, the address bytes
// and the port. False for a type the index cannot hold or a length that does not fit it.
bool ReadInetEnd(const uint32_t* ids, uint32_t n, uint32_t& pos, InetEnd& end) {
    if (n - pos < 2 || ids[pos] >= std::size(kAddressLength)) return false;
    const uint32_t type = ids[pos], length = ids[pos + 1];
    if (length != kAddressLength[type] || n - pos - 2 < length + 1) return false;
    for (uint32_t i = 0; i < length; ++i) {
        if (ids[pos + 2 + i] > 255) return false;
        end.bytes[i] = static_cast<uint8_t>(ids[pos + 2 + i]);
    }
    if (ids[pos + 2 + length] > 65535) return false;
    end.type = type;
    end.port = ids[pos + 2 + length];
    pos += 3 + length;
    return true;
}

// "%" and the interface's name, or its number where the name is unknown or would not
// read back as a zone.
size_t WriteZone(const uint8_t bytes[4], char* out) {
    const uint32_t index = static_cast<uint32_t>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
    char name[IF_NAMESIZE] = {};
    out[0] = '%';
    if (index != 0 && ::if_indextoname(index, name) != nullptr) {
        const std::string zone = std::string("::%") + name;
        if (IsIPv6Text(zone)) {
            std::memcpy(out + 1, name, std::strlen(name) + 1);
            return 1 + std::strlen(name);
        }
    }
    return 1 + static_cast<size_t>(std::snprintf(out + 1, 12, "%u", index));
}

// The address text of one end and its family (4 or 6). An IPv6 socket's connection
// over IPv4 is written as the IPv4 address it is, whichever way the agent typed it; an
// end of unknown type is the wildcard of both families.
int32_t WriteInetAddress(const InetEnd& e, char (&out)[ADDRESS_TEXT_SIZE]) {
    static_assert(ADDRESS_TEXT_SIZE >= 46 + 1 + 15 + 1, "an IPv6 address with its zone");
    size_t n;
    int32_t family = 6;
    const uint8_t* zone = nullptr;
    switch (e.type) {
    case 1:
    case 3:
        n = WriteDottedIPv4(e.bytes, out);
        family = 4;
        if (e.type == 3) zone = e.bytes + 4;
        break;
    case 2:
    case 4:
        if (std::memcmp(e.bytes, kMappedPrefix, sizeof kMappedPrefix) == 0) {
            WriteDottedIPv4(e.bytes + 12, out);
            return 4;
        }
        n = WriteIPv6(e.bytes, out);
        if (e.type == 4) zone = e.bytes + 16;
        break;
    default: std::strcpy(out, "::"); return 6;
    }
    if (zone) WriteZone(zone, out + n);
    return family;
}

bool ReadProcess(const AsnAny& v, uint32_t& pid) {
    if (v.asnType == ASN_GAUGE32) pid = v.asnValue.gauge;
    else if (v.asnType == ASN_INTEGER && v.asnValue.number >= 0) pid = static_cast<uint32_t>(v.asnValue.number);
    else return false;
    return true;
}

// Rows whose socket has left its process (or never had one) report no process.
bool OwnerlessState(int32_t stateIndex) {
    switch (stateIndex) {
    case STATE_CLOSED:
    case STATE_SYN_RECEIVED:
    case STATE_FIN_WAIT1:
    case STATE_FIN_WAIT2:
    case STATE_LAST_ACK:
    case STATE_CLOSING:
    case STATE_TIME_WAIT:
    case STATE_DELETE_TCB: return true;
    default: return false;
    }
}

// A program's name as plain text within the buffer: control characters become '?', and
// a name cut short ends on a character boundary.
void CopyProgramName(const uint8_t* bytes, uint32_t length, char (&out)[PROGRAM_NAME_SIZE]) {
    std::memset(out, 0, sizeof out);
    size_t n = 0;
    while (n < length && n < sizeof out - 1 && bytes[n] != 0) {
        out[n] = bytes[n] < 0x20 || bytes[n] == 0x7f ? '?' : static_cast<char>(bytes[n]);
        ++n;
    }
    if (n == sizeof out - 1 && n < length) {
        size_t start = n;
        while (start > 0 && (static_cast<uint8_t>(out[start - 1]) & 0xC0) == 0x80) --start;
        if (start > 0 && static_cast<uint8_t>(out[start - 1]) >= 0xC0) {
            const uint8_t lead = static_cast<uint8_t>(out[start - 1]);
            const size_t size = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
            if (start - 1 + size > n) std::memset(out + start - 1, 0, n - (start - 1));
        }
    }
}

uint32_t MonotonicMilliseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

}  // namespace

std::string DefaultAgentLibraryPath() {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return "libinetmib1.so";
    std::string path(exe, static_cast<size_t>(n));
    path.erase(path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
    return path + "/libinetmib1.so";
}

CNetTableAgent::CNetTableAgent(std::string libraryPath) : libraryPath_(std::move(libraryPath)) {
    errorText[0] = '\0';
}

CNetTableAgent::CNetTableAgent(SnmpExtensionInitFn init, SnmpExtensionQueryFn query)
    : SnmpExtensionInit(init), SnmpExtensionQuery(query) {
    errorText[0] = '\0';
}

CNetTableAgent::~CNetTableAgent() {
    for (SnmpVarBind& b : rowBindings_) FreeVarBind(b);
    if (library != nullptr) dlclose(library);
}

bool CNetTableAgent::Initialize() {
    if (!libraryPath_.empty()) {
        if (library == nullptr) library = dlopen(libraryPath_.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return false;
        SnmpExtensionQuery = reinterpret_cast<SnmpExtensionQueryFn>(dlsym(library, "SnmpExtensionQuery"));
        SnmpExtensionInit = reinterpret_cast<SnmpExtensionInitFn>(dlsym(library, "SnmpExtensionInit"));
    }
    if (SnmpExtensionQuery == nullptr || SnmpExtensionInit == nullptr) return false;

    AsnObjectIdentifier supportedView{0, nullptr};
    trapEvent = nullptr;
    uint32_t uptimeReference = MonotonicMilliseconds();
    return SnmpExtensionInit(uptimeReference, &trapEvent, &supportedView) != 0;
}

void CNetTableAgent::WriteError(AsnInteger32 status, AsnInteger32 index) {
    std::snprintf(errorText, sizeof errorText, "SNMP Error Status = %d Index = %d", status, index);
}

void CNetTableAgent::MakeOid(AsnObjectIdentifier& oid, uint32_t n, const uint32_t* ids) {
    auto* block = static_cast<uint32_t*>(SnmpUtilMemAlloc(n * sizeof(uint32_t)));
    if (block == nullptr) n = 0;
    if (n > 0) std::memcpy(block, ids, n * sizeof(uint32_t));
    oid.idLength = n;
    oid.ids = block;
}

void CNetTableAgent::FreeVarBind(SnmpVarBind& varbind) {
    SnmpUtilMemFree(varbind.name.ids);
    varbind.name = AsnObjectIdentifier{0, nullptr};
    SnmpUtilAsnAnyFree(&varbind.value);
}

void CNetTableAgent::SetRecordLimit(int limit) { recordLimit_ = std::clamp(limit, 1, MAX_CONNECTIONS); }

int CNetTableAgent::ReadTables() {
    recordCount = 0;
    records.clear();
    reachedLimit_ = false;
    bothFamilies_ = false;
    if (SnmpExtensionQuery == nullptr) {
        WriteError(SNMP_ERRORSTATUS_GENERR, 0);
        return -1;
    }
    ++readNumber_;
    bool served = false;
    int result = olderTablesOnly_ ? 0 : ReadInetTables(served);
    // Program names of PIDs gone from the tables are asked again should they return.
    std::erase_if(names_, [this](const auto& entry) { return entry.second.read != readNumber_; });
    if (served) {
        bothFamilies_ = true;
        reachedLimit_ = recordCount >= recordLimit_;
        return result;
    }
    recordCount = 0;
    records.clear();
    return ReadMib2Tables();
}

int CNetTableAgent::ReadMib2Tables() {
    SnmpVarBind binding{};
    SnmpVarBindList list{&binding, 1};
    std::vector<uint32_t> sent;  // the name of the last request, to see the walk move on
    int result = 0;

    // One walk step: GETNEXT, then classify. Returns true to decode the binding.
    auto step = [&](uint8_t endType, const uint32_t (&column)[kColumnLength], bool& failed) {
        AsnInteger32 status = 0, index = 0;
        failed = false;
        sent.assign(binding.name.ids, binding.name.ids + binding.name.idLength);
        if (!SnmpExtensionQuery(SNMP_PDU_GETNEXT, &list, &status, &index)) {
            WriteError(status, index);
            failed = true;
            return false;
        }
        if (status == SNMP_ERRORSTATUS_NOSUCHNAME) return false;  // past the end of the view
        if (binding.value.asnType == endType) return false;      // reached the next column
        if (status != SNMP_ERRORSTATUS_NOERROR) {
            WriteError(status, index);
            failed = true;
            return false;
        }
        if (!UnderColumn(binding.name, column)) return false;  // left the table
        if (!NameAfter(binding.name, sent)) {
            // An agent that does not move forward would keep the walk going for ever.
            WriteError(SNMP_ERRORSTATUS_GENERR, 1);
            failed = true;
            return false;
        }
        return true;
    };
    // The next request names the object the agent returned, with a fresh NULL value;
    // the name is the caller's to free, so it stays in the binding as it is.
    auto advance = [&]() { SnmpUtilAsnAnyFree(&binding.value); };

    MakeOid(binding.name, 8, kTcpConnTable);
    binding.value.asnType = ASN_NULL;
    bool failed = false;
    while (recordCount < recordLimit_) {
        if (!step(ASN_IPADDRESS, kTcpConnState, failed)) break;
        DecodeRow(binding, "TCP");
        advance();
    }
    if (failed) result = -1;  // the UDP walk still runs

    FreeVarBind(binding);
    MakeOid(binding.name, 8, kUdpTable);
    binding.value.asnType = ASN_NULL;
    while (recordCount < recordLimit_) {
        if (!step(ASN_INTEGER, kUdpLocalAddress, failed)) break;
        DecodeRow(binding, "UDP");
        advance();
    }
    if (failed) result = -1;

    FreeVarBind(binding);
    reachedLimit_ = recordCount >= recordLimit_;
    return result;
}

bool CNetTableAgent::DecodeRow(const SnmpVarBind& walked, const char* protocol) {
    uint32_t columns;
    if (std::strcmp(protocol, "TCP") == 0) {
        columns = 5;
    } else if (std::strcmp(protocol, "UDP") == 0) {
        columns = 2;
    } else {
        return false;
    }
    if (walked.name.ids == nullptr || walked.name.idLength < kColumnLength) return false;

    SnmpVarBind* row = rowBindings_;
    for (uint32_t i = 0; i < columns; ++i) {
        if (row[i].name.idLength != walked.name.idLength || row[i].name.ids == nullptr) {
            FreeVarBind(row[i]);
            MakeOid(row[i].name, walked.name.idLength, walked.name.ids);
        } else {
            std::memcpy(row[i].name.ids, walked.name.ids, walked.name.idLength * sizeof(uint32_t));
        }
        if (row[i].name.ids != nullptr) row[i].name.ids[kColumnLength - 1] = i + 1;
        row[i].value.asnType = ASN_NULL;
    }
    SnmpVarBindList list{row, columns};
    AsnInteger32 status = 0, index = 0;
    bool decoded = false;
    if (!SnmpExtensionQuery(SNMP_PDU_GET, &list, &status, &index) || status != SNMP_ERRORSTATUS_NOERROR) {
        // Typically the connection closed between the walk step and this GET.
        WriteError(status, index);
    } else {
        ConnectionRecord record{};
        const bool tcpShape = columns == 5 && IsState(row[0].value) && IsAddress(row[1].value) &&
                              IsPort(row[2].value) && IsAddress(row[3].value) && IsInteger(row[4].value);
        const uint8_t* remote = tcpShape ? row[3].value.asnValue.address.stream : nullptr;
        const bool remoteSet = remote && (remote[0] != 0 || remote[1] != 0 || remote[2] != 0 || remote[3] != 0);
        // A listener's remote port is not shown, so only a used one must be a port.
        if (tcpShape && (!remoteSet || IsPort(row[4].value))) {
            std::strcpy(record.protocol, "TCP");
            record.family = 4;
            Dotted(row[1].value, record.localAddress);
            Dotted(row[3].value, record.remoteAddress);
            record.stateIndex = row[0].value.asnValue.number - 1;
            record.localPort = row[2].value.asnValue.number;
            record.remotePort = remoteSet ? row[4].value.asnValue.number : 0;
            decoded = true;
        } else if (columns == 2 && IsAddress(row[0].value) && IsPort(row[1].value)) {
            std::strcpy(record.protocol, "UDP");
            record.family = 4;
            Dotted(row[0].value, record.localAddress);
            std::strcpy(record.remoteAddress, "*:*");
            record.stateIndex = -1;
            record.localPort = row[1].value.asnValue.number;
            record.remotePort = 0;
            decoded = true;
        }
        // Values of other types or lengths carry no row we could show: skipped.
        if (decoded) {
            records.push_back(record);
            ++recordCount;
        }
    }
    for (uint32_t i = 0; i < columns; ++i) SnmpUtilAsnAnyFree(&row[i].value);
    return decoded;
}

struct CNetTableAgent::InetWalk {
    enum Kind { Connections, Listeners, Endpoints };
    Kind kind;
    const uint32_t* entry;
    uint32_t column;         // the column walked
    uint32_t processColumn;  // the process column walked beside it; 0 when it is the one walked
    size_t limit;            // rows this walk may take
    size_t count = 0;        // rows it took
};

int CNetTableAgent::ReadInetTables(bool& served) {
    listeners_.clear();
    listenerKeys_.clear();
    listenerKeyAt_.clear();
    listenersPlaced_.clear();
    nextListener_ = 0;
    const size_t limit = static_cast<size_t>(recordLimit_);
    InetWalk listeners{InetWalk::Listeners, kTcpListenerEntry, 4, 0, limit};
    InetWalk connections{InetWalk::Connections, kTcpConnectionEntry, 7, 8, limit};
    // The listeners are walked first and put in the connections' order as that walk
    // passes them: each goes before the connections of its address and port, as the
    // older table has them. A failed walk does not stop the others.
    int result = WalkInetTable(listeners, served);
    if (WalkInetTable(connections, served) != 0) result = -1;
    // At the bound the connections come first: listeners beyond what they leave go.
    const size_t kept = std::min(listeners_.size(), limit - std::min(limit, connections.count));
    while (listenersPlaced_.size() > kept) {
        records.erase(records.begin() + static_cast<std::ptrdiff_t>(listenersPlaced_.back()));
        listenersPlaced_.pop_back();
    }
    for (size_t i = listenersPlaced_.size(); i < kept; ++i) records.push_back(listeners_[i]);
    recordCount = static_cast<int32_t>(records.size());
    InetWalk endpoints{InetWalk::Endpoints, kUdpEndpointEntry, 8, 0, limit - std::min(limit, records.size())};
    if (WalkInetTable(endpoints, served) != 0) result = -1;
    recordCount = static_cast<int32_t>(records.size());
    // Asked after the walks, a name new to the cache finds every table freshly read:
    // asked during one, it would have the agent read the tables not yet walked.
    for (ConnectionRecord& r : records) {
        if (r.owner == OWNER_SEEN) ProgramName(r.pid, r.program);
    }
    return result;
}

bool CNetTableAgent::ListenerBefore(size_t listener, const uint32_t* key, uint32_t keyLength) const {
    const uint32_t* k = listenerKeys_.data() + listenerKeyAt_[listener].first;
    return std::lexicographical_compare(k, k + listenerKeyAt_[listener].second, key, key + keyLength);
}

void CNetTableAgent::AddRow(InetWalk& w, const ConnectionRecord& r, const uint32_t* key, uint32_t keyLength) {
    ++w.count;
    if (w.kind == InetWalk::Listeners) {
        listenerKeyAt_.emplace_back(static_cast<uint32_t>(listenerKeys_.size()), keyLength);
        listenerKeys_.insert(listenerKeys_.end(), key, key + keyLength);
        listeners_.push_back(r);
        return;
    }
    if (w.kind == InetWalk::Connections) {
        for (; nextListener_ < listeners_.size() && ListenerBefore(nextListener_, key, keyLength); ++nextListener_) {
            listenersPlaced_.push_back(records.size());
            records.push_back(listeners_[nextListener_]);
        }
    }
    records.push_back(r);
}

int CNetTableAgent::WalkInetTable(InetWalk& w, bool& served) {
    uint32_t column[kColumnLength];
    std::copy(w.entry, w.entry + kEntryLength, column);
    column[kEntryLength] = w.column;
    uint32_t processColumn[kColumnLength];
    std::copy(column, column + kColumnLength, processColumn);
    processColumn[kEntryLength] = w.processColumn;

    // State and process come in one request where the agent steps both columns at once.
    bool paired = w.processColumn != 0;
    SnmpVarBind bindings[2]{};
    // From the table itself, as every walk starts: an agent takes that as a new read of
    // the table rather than the continuation of one.
    MakeOid(bindings[0].name, kEntryLength - 1, w.entry);
    if (paired) MakeOid(bindings[1].name, kColumnLength, processColumn);
    bindings[0].value.asnType = bindings[1].value.asnType = ASN_NULL;
    std::vector<uint32_t> sent;
    int result = 0;
    while (w.count < w.limit) {
        SnmpVarBindList list{bindings, paired ? 2u : 1u};
        AsnInteger32 status = 0, index = 0;
        sent.assign(bindings[0].name.ids, bindings[0].name.ids + bindings[0].name.idLength);
        if (!SnmpExtensionQuery(SNMP_PDU_GETNEXT, &list, &status, &index)) {
            WriteError(status, index);
            result = -1;
            break;
        }
        if (status != SNMP_ERRORSTATUS_NOERROR && paired && index == 2) {
            // The agent will not walk the pair: one column at a time, the process by GET.
            paired = false;
            FreeVarBind(bindings[0]);
            FreeVarBind(bindings[1]);
            MakeOid(bindings[0].name, static_cast<uint32_t>(sent.size()), sent.data());
            bindings[0].value.asnType = ASN_NULL;
            continue;
        }
        if (status == SNMP_ERRORSTATUS_NOSUCHNAME) break;  // past the end of the view
        if (status != SNMP_ERRORSTATUS_NOERROR) {
            WriteError(status, index);
            result = -1;
            break;
        }
        const AsnObjectIdentifier& name = bindings[0].name;
        if (!UnderColumn(name, column)) break;  // left the column
        if (!NameAfter(name, sent)) {
            WriteError(SNMP_ERRORSTATUS_GENERR, 1);
            result = -1;
            break;
        }
        served = true;

        // The row, decoded from its index; a row the index cannot describe is skipped.
        ConnectionRecord r{};
        InetEnd local, remote;
        uint32_t pos = kColumnLength;
        bool sound = ReadInetEnd(name.ids, name.idLength, pos, local);
        if (sound && w.kind != InetWalk::Listeners) sound = ReadInetEnd(name.ids, name.idLength, pos, remote);
        if (sound && w.kind == InetWalk::Endpoints) ++pos;  // the instance: any number
        sound = sound && pos == name.idLength;
        const uint32_t keyLength = name.idLength - kColumnLength;

        uint32_t pid = 0;
        bool processRead = false;
        if (sound && w.kind == InetWalk::Connections) {
            sound = IsState(bindings[0].value);
            if (sound && paired && bindings[1].name.idLength == name.idLength && bindings[1].name.ids &&
                std::equal(processColumn, processColumn + kColumnLength, bindings[1].name.ids) &&
                std::equal(name.ids + kColumnLength, name.ids + name.idLength, bindings[1].name.ids + kColumnLength)) {
                processRead = ReadProcess(bindings[1].value, pid);
            } else if (sound) {
                SnmpVarBind get{};
                MakeOid(get.name, name.idLength, name.ids);
                if (get.name.ids) get.name.ids[kEntryLength] = w.processColumn;
                get.value.asnType = ASN_NULL;
                SnmpVarBindList one{&get, 1};
                AsnInteger32 s2 = 0, i2 = 0;
                processRead = SnmpExtensionQuery(SNMP_PDU_GET, &one, &s2, &i2) &&
                              s2 == SNMP_ERRORSTATUS_NOERROR && ReadProcess(get.value, pid);
                FreeVarBind(get);
            }
        } else if (sound) {
            processRead = ReadProcess(bindings[0].value, pid);
        }

        if (sound) {
            r.family = WriteInetAddress(local, r.localAddress);
            r.localPort = static_cast<int32_t>(local.port);
            // Both ends of a connection are of one family, however the agent typed them.
            if (w.kind == InetWalk::Connections && WriteInetAddress(remote, r.remoteAddress) != r.family)
                sound = false;
        }
        if (sound) {
            if (w.kind == InetWalk::Connections) {
                std::strcpy(r.protocol, "TCP");
                r.remotePort = static_cast<int32_t>(remote.port);
                r.stateIndex = bindings[0].value.asnValue.number - 1;
            } else if (w.kind == InetWalk::Listeners) {
                std::strcpy(r.protocol, "TCP");
                std::strcpy(r.remoteAddress, r.family == 4 ? "0.0.0.0" : "::");
                r.stateIndex = STATE_LISTEN;
            } else {
                std::strcpy(r.protocol, "UDP");
                std::strcpy(r.remoteAddress, "*:*");
                r.stateIndex = -1;
            }
            SetOwner(r, processRead, pid);
            AddRow(w, r, name.ids + kColumnLength, keyLength);
        }
        SnmpUtilAsnAnyFree(&bindings[0].value);
        SnmpUtilAsnAnyFree(&bindings[1].value);
    }
    FreeVarBind(bindings[0]);
    FreeVarBind(bindings[1]);
    return result;
}

void CNetTableAgent::SetOwner(ConnectionRecord& r, bool processRead, uint32_t pid) {
    if (processRead && pid != 0) {
        r.pid = pid;
        r.owner = OWNER_SEEN;  // the program's name comes once every table is walked
    } else if (processRead && std::strcmp(r.protocol, "TCP") == 0 && OwnerlessState(r.stateIndex)) {
        r.owner = OWNER_NONE;
    } else {
        r.owner = OWNER_HIDDEN;  // a socket without a process the agent may show
    }
}

bool CNetTableAgent::ProgramName(uint32_t pid, char (&out)[PROGRAM_NAME_SIZE]) {
    auto [it, fresh] = names_.try_emplace(pid);
    CachedName& cached = it->second;
    if (fresh) {
        cached.name[0] = '\0';
        cached.found = false;
        uint32_t ids[std::size(kSwRunName) + 1];
        std::copy(std::begin(kSwRunName), std::end(kSwRunName), ids);
        ids[std::size(kSwRunName)] = pid;
        SnmpVarBind get{};
        MakeOid(get.name, static_cast<uint32_t>(std::size(ids)), ids);
        get.value.asnType = ASN_NULL;
        SnmpVarBindList one{&get, 1};
        AsnInteger32 status = 0, index = 0;
        if (SnmpExtensionQuery(SNMP_PDU_GET, &one, &status, &index) && status == SNMP_ERRORSTATUS_NOERROR &&
            get.value.asnType == ASN_OCTETSTRING && get.value.asnValue.string.stream != nullptr) {
            CopyProgramName(get.value.asnValue.string.stream, get.value.asnValue.string.length, cached.name);
            cached.found = true;
        }
        FreeVarBind(get);
    }
    cached.read = readNumber_;
    std::memcpy(out, cached.name, sizeof out);
    return cached.found;
}
