#include "monitor/CNetTableAgent.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <limits.h>
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
    if (SnmpExtensionQuery == nullptr) {
        WriteError(SNMP_ERRORSTATUS_GENERR, 0);
        return -1;
    }

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
            Dotted(row[1].value, record.localAddress);
            Dotted(row[3].value, record.remoteAddress);
            record.stateIndex = row[0].value.asnValue.number - 1;
            record.localPort = row[2].value.asnValue.number;
            record.remotePort = remoteSet ? row[4].value.asnValue.number : 0;
            decoded = true;
        } else if (columns == 2 && IsAddress(row[0].value) && IsPort(row[1].value)) {
            std::strcpy(record.protocol, "UDP");
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
