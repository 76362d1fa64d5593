// The agent's query entry point with hostile variable bindings, over kernel tables
// that the input also chooses. Every answer is held to a plain model of the view:
// GETNEXT gives the first object after the name, GET the object named, and an
// error leaves the list as it came in. The tables of both families enter the model
// from one walk of them, which must go up in OID order over well-formed instances.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <netinet/in.h>
#include <string>
#include <cstring>
#include <map>
#include <vector>

#include "FuzzSupport.h"
#include "platform/SnmpTypes.h"
#include "platform/mib/KernelTables.h"
#include "platform/mib/SocketOwners.h"

extern "C" int32_t SnmpExtensionInit(uint32_t uptimeReference, void** trapEvent, AsnObjectIdentifier* supportedView);
extern "C" int32_t SnmpExtensionQuery(uint8_t pduType, SnmpVarBindList* varBinds, AsnInteger32* errorStatus,
                                      AsnInteger32* errorIndex);

namespace {

struct Kernel {
    bool tcpReadable = true;
    bool udpReadable = true;
    std::vector<mib::TcpConn> tcp;
    std::vector<mib::UdpEndpoint> udp;
    std::vector<mib::Socket> tcpSockets, udpSockets;
};
Kernel gKernel;

uint32_t OwnerOf(uint32_t inode) { return inode % 3 == 0 ? 0 : inode % 50 + 1; }

}  // namespace

// The agent's table readers, served from the input instead of the kernel.
namespace mib {

template <typename Row>
void Append(RowsOver<Row>& out, const std::vector<Row>& rows) {
    for (const Row& row : rows) out.push_back(row);
}
bool ReadTcpTable(Source, RowsOver<TcpConn>& out) {
    if (!gKernel.tcpReadable) return false;
    Append(out, gKernel.tcp);
    return true;
}

bool ReadUdpTable(Source, RowsOver<UdpEndpoint>& out) {
    if (!gKernel.udpReadable) return false;
    Append(out, gKernel.udp);
    return true;
}

bool ReadTcpSockets(Source, RowsOver<Socket>& out) {
    Append(out, gKernel.tcpSockets);
    return true;
}

bool ReadUdpSockets(Source, RowsOver<Socket>& out) {
    Append(out, gKernel.udpSockets);
    return true;
}

void FindSocketOwners(const uint32_t* inodes, uint32_t* pids, size_t count, int64_t, unsigned) {
    std::transform(inodes, inodes + count, pids, OwnerOf);
}
uint64_t SocketOwnerEdits() { return 0; }
bool SocketOwnersAlive(const uint32_t*, size_t) { return true; }

size_t ReadProcessName(uint32_t pid, char* out, size_t capacity) {
    return static_cast<size_t>(std::snprintf(out, capacity, "p%u", pid)) < capacity ? std::strlen(out) : 0;
}

size_t ReadProcessPath(uint32_t pid, char* out, size_t capacity) {
    return static_cast<size_t>(std::snprintf(out, capacity, "/bin/p%u", pid)) < capacity ? std::strlen(out) : 0;
}

}  // namespace mib

namespace {

using Ids = std::vector<uint32_t>;

const Ids kTcpEntry = {1, 3, 6, 1, 2, 1, 6, 13, 1};
const Ids kUdpEntry = {1, 3, 6, 1, 2, 1, 7, 5, 1};

struct Value {
    uint8_t type;
    int32_t number;  // INTEGER, and Gauge32 as its bits
    uint8_t address[4];
    std::string text;  // OCTET STRING
};

// Every object of the view, by name. A TCP instance seen twice keeps a live row over a
// TIME_WAIT one, so its state may be any of the live rows' states.
struct Model {
    std::map<Ids, std::vector<Value>> objects;

    void Add(const Ids& entry, uint32_t column, const Ids& instance, const Value& v) {
        Ids name = entry;
        name.push_back(column);
        name.insert(name.end(), instance.begin(), instance.end());
        objects[name].push_back(v);
    }
};

Value Integer(int32_t n) { return Value{ASN_INTEGER, n, {}, {}}; }
Value Address(const uint8_t b[4]) {
    Value v{ASN_IPADDRESS, 0, {}, {}};
    std::memcpy(v.address, b, 4);
    return v;
}

Ids TcpInstance(const mib::TcpConn& c) {
    return {c.local[0], c.local[1], c.local[2], c.local[3], c.localPort,
            c.remote[0], c.remote[1], c.remote[2], c.remote[3], c.remotePort};
}
Ids UdpInstance(const mib::UdpEndpoint& e) { return {e.local[0], e.local[1], e.local[2], e.local[3], e.localPort}; }

Model BuildModel() {
    Model m;
    for (const auto& c : gKernel.tcp) {
        const Ids inst = TcpInstance(c);
        m.Add(kTcpEntry, 1, inst, Integer(c.state));
        m.Add(kTcpEntry, 2, inst, Address(c.local));
        m.Add(kTcpEntry, 3, inst, Integer(c.localPort));
        m.Add(kTcpEntry, 4, inst, Address(c.remote));
        m.Add(kTcpEntry, 5, inst, Integer(c.remotePort));
    }
    for (const auto& e : gKernel.udp) {
        const Ids inst = UdpInstance(e);
        m.Add(kUdpEntry, 1, inst, Address(e.local));
        m.Add(kUdpEntry, 2, inst, Integer(e.localPort));
    }
    return m;
}


bool Matches(const AsnAny& got, const std::vector<Value>& candidates) {
    bool liveRow = false;
    for (const Value& v : candidates) liveRow = liveRow || v.type != ASN_INTEGER || v.number != 11;
    for (const Value& v : candidates) {
        if (got.asnType != v.type) continue;
        if (v.type == ASN_INTEGER && got.asnValue.number == v.number && (!liveRow || v.number != 11)) return true;
        if (v.type == ASN_IPADDRESS && got.asnValue.address.length == 4 && got.asnValue.address.stream != nullptr &&
            std::memcmp(got.asnValue.address.stream, v.address, 4) == 0)
            return true;
        if (v.type == ASN_GAUGE32 && got.asnValue.gauge == static_cast<uint32_t>(v.number)) return true;
        if (v.type == ASN_OCTETSTRING && got.asnValue.string.stream != nullptr &&
            v.text == std::string(reinterpret_cast<const char*>(got.asnValue.string.stream), got.asnValue.string.length))
            return true;
    }
    return false;
}

Ids NameOf(const AsnObjectIdentifier& oid) {
    if (oid.ids == nullptr) return {};
    return Ids(oid.ids, oid.ids + oid.idLength);
}

void FreeList(std::vector<SnmpVarBind>& list) {
    for (auto& vb : list) {
        SnmpUtilMemFree(vb.name.ids);
        SnmpUtilAsnAnyFree(&vb.value);
    }
    list.clear();
}

AsnObjectIdentifier NewOid(const Ids& ids) {
    auto* block = static_cast<uint32_t*>(SnmpUtilMemAlloc(static_cast<uint32_t>(ids.size() * sizeof(uint32_t))));
    FUZZ_CHECK(block != nullptr);
    std::copy(ids.begin(), ids.end(), block);
    return AsnObjectIdentifier{static_cast<uint32_t>(ids.size()), block};
}

void ReadKernel(FuzzedDataProvider& in) {
    gKernel = Kernel{};
    gKernel.tcpReadable = in.ConsumeIntegralInRange<int>(0, 15) != 0;
    gKernel.udpReadable = in.ConsumeIntegralInRange<int>(0, 15) != 0;
    const int tcpRows = in.ConsumeIntegralInRange<int>(0, 24);
    for (int i = 0; i < tcpRows; ++i) {
        mib::TcpConn c{};
        for (auto& b : c.local) b = in.ConsumeIntegral<uint8_t>();
        c.localPort = in.ConsumeIntegral<uint16_t>();
        for (auto& b : c.remote) b = in.ConsumeIntegral<uint8_t>();
        c.remotePort = in.ConsumeIntegral<uint16_t>();
        c.state = in.ConsumeIntegralInRange<int32_t>(1, 12);
        c.fromIpv6 = in.ConsumeBool();
        gKernel.tcp.push_back(c);
    }
    const int udpRows = in.ConsumeIntegralInRange<int>(0, 24);
    for (int i = 0; i < udpRows; ++i) {
        mib::UdpEndpoint e{};
        for (auto& b : e.local) b = in.ConsumeIntegral<uint8_t>();
        e.localPort = in.ConsumeIntegral<uint16_t>();
        e.fromIpv6 = in.ConsumeBool();
        gKernel.udp.push_back(e);
    }
    for (auto* sockets : {&gKernel.tcpSockets, &gKernel.udpSockets}) {
        const int count = in.ConsumeIntegralInRange<int>(0, 16);
        for (int i = 0; i < count; ++i) {
            mib::Socket s{};
            s.family = in.ConsumeBool() ? AF_INET6 : AF_INET;
            for (uint8_t* address : {s.local, s.remote}) {
                // Any bytes, or one of the addresses written otherwise than as bytes.
                static const uint8_t kShapes[][4] = {{0, 0, 0, 0}, {0, 0, 0xff, 0xff}, {0xfe, 0x80, 0, 0}, {0, 0, 0, 1}};
                const int shape = in.ConsumeIntegralInRange<int>(0, 4);
                for (int b = 0; b < 16; ++b) address[b] = shape == 0 ? in.ConsumeIntegral<uint8_t>() : 0;
                if (shape == 2) std::memcpy(address + 8, kShapes[shape - 1], 4);
                if (shape == 3) std::memcpy(address, kShapes[shape - 1], 4);
                if (shape == 4) std::memcpy(address + 12, kShapes[shape - 1], 4);
                if (shape == 2 && in.ConsumeBool()) std::memcpy(address + 12, kShapes[3], 4);
            }
            s.localPort = in.ConsumeIntegral<uint16_t>();
            s.remotePort = in.ConsumeBool() ? 0 : in.ConsumeIntegral<uint16_t>();
            s.kernelState = in.ConsumeIntegralInRange<uint8_t>(0, 14);
            s.v6only = in.ConsumeIntegralInRange<int8_t>(-1, 1);
            s.ifindex = in.ConsumeBool() ? 0 : in.ConsumeIntegral<uint32_t>();
            s.inode = in.ConsumeIntegralInRange<uint32_t>(0, 40);
            sockets->push_back(s);
        }
    }
}

// The tables of both families and hrSWRunTable, and where their instances begin.
const Ids kSuccessorEntries[] = {{1, 3, 6, 1, 2, 1, 6, 19, 1}, {1, 3, 6, 1, 2, 1, 6, 20, 1},
                                 {1, 3, 6, 1, 2, 1, 7, 7, 1}, {1, 3, 6, 1, 2, 1, 25, 4, 2, 1}};

bool Under(const Ids& name, const Ids& prefix) {
    return name.size() > prefix.size() && std::equal(prefix.begin(), prefix.end(), name.begin());
}

// Whether the endpoints of an instance from `at` on are each a well-formed address
// (type and length agreeing) and a port; where they end.
bool WellFormed(const Ids& name, size_t at, int endpoints, size_t& end) {
    for (int i = 0; i < endpoints; ++i) {
        if (at + 1 >= name.size()) return false;
        const uint32_t type = name[at], length = name[at + 1];
        static const uint32_t kLengths[] = {0, 4, 16, 8, 20};
        if (type > 4 || type == 3 || length != kLengths[type] || at + 2 + length >= name.size()) return false;
        for (size_t b = at + 2; b < at + 2 + length; ++b) {
            if (name[b] > 255) return false;
        }
        if (name[at + 2 + length] > 65535) return false;
        at += 3 + length;
    }
    end = at;
    return true;
}

// Every object of the tables of both families, from one walk of them.
void AddSuccessors(Model& m) {
    std::vector<SnmpVarBind> list(1);
    list[0].name = NewOid({1, 3, 6, 1, 2, 1, 6, 19});
    list[0].value.asnType = ASN_NULL;
    Ids last;
    for (;;) {
        SnmpVarBindList bindings{list.data(), 1};
        AsnInteger32 status = 0, index = 0;
        if (SnmpExtensionQuery(SNMP_PDU_GETNEXT, &bindings, &status, &index) == 0 || status != 0) break;
        const Ids name = NameOf(list[0].name);
        FUZZ_CHECK(name > last);
        last = name;
        const AsnAny& v = list[0].value;
        if (!Under(name, kUdpEntry)) {
            size_t end = 0;
            if (Under(name, kSuccessorEntries[3])) {
                FUZZ_CHECK(name.size() == 12 && v.asnType == ASN_OCTETSTRING);
            } else if (Under(name, kSuccessorEntries[0])) {
                FUZZ_CHECK(WellFormed(name, 10, 2, end) && end == name.size());
                FUZZ_CHECK(v.asnType == (name[9] == 7 ? ASN_INTEGER : ASN_GAUGE32));
            } else {
                const bool udp = Under(name, kSuccessorEntries[2]);
                FUZZ_CHECK(Under(name, kSuccessorEntries[1]) || udp);
                FUZZ_CHECK(WellFormed(name, 10, udp ? 2 : 1, end) && end + (udp ? 1 : 0) == name.size());
                FUZZ_CHECK(v.asnType == ASN_GAUGE32);
            }
            Value value{v.asnType, v.asnValue.number, {}, {}};
            if (v.asnType == ASN_OCTETSTRING)
                value.text.assign(reinterpret_cast<const char*>(v.asnValue.string.stream), v.asnValue.string.length);
            m.objects[name].push_back(value);
        }
        SnmpUtilAsnAnyFree(&list[0].value);
        list[0].value.asnType = ASN_NULL;
    }
    FreeList(list);
}

// A name near the objects of the view more often than not, so walks reach every branch.
Ids MakeName(FuzzedDataProvider& in, const Model& model) {
    switch (in.ConsumeIntegralInRange<int>(0, 6)) {
    case 5:
    case 6: {  // an object's name, cut, bumped or extended
        if (model.objects.empty()) return {};
        Ids name = std::next(model.objects.begin(), in.ConsumeIntegralInRange<long>(0, long(model.objects.size()) - 1))->first;
        name.resize(in.ConsumeIntegralInRange<size_t>(0, name.size() + 2));
        if (!name.empty()) name.back() += in.ConsumeIntegralInRange<int>(-1, 1);
        return name;
    }
    case 0: {
        Ids ids(in.ConsumeIntegralInRange<size_t>(0, 24));
        for (auto& id : ids) id = in.ConsumeIntegral<uint32_t>();
        return ids;
    }
    case 1: {  // a prefix of either table's entry
        const Ids& entry = in.ConsumeBool() ? kTcpEntry : kUdpEntry;
        return Ids(entry.begin(), entry.begin() + in.ConsumeIntegralInRange<size_t>(0, entry.size()));
    }
    default: {  // a column and some row's instance, cut, bumped or extended
        const bool tcp = in.ConsumeBool();
        Ids name = tcp ? kTcpEntry : kUdpEntry;
        name.push_back(in.ConsumeIntegralInRange<uint32_t>(0, 7));
        Ids instance;
        const size_t rows = tcp ? gKernel.tcp.size() : gKernel.udp.size();
        if (rows > 0) {
            const size_t row = in.ConsumeIntegralInRange<size_t>(0, rows - 1);
            instance = tcp ? TcpInstance(gKernel.tcp[row]) : UdpInstance(gKernel.udp[row]);
        }
        instance.resize(in.ConsumeIntegralInRange<size_t>(0, instance.size() + 2));
        if (!instance.empty()) instance.back() += in.ConsumeIntegralInRange<int>(-1, 1);
        name.insert(name.end(), instance.begin(), instance.end());
        return name;
    }
    }
}

struct Sent {
    Ids name;
    bool nullIds;
    uint8_t valueType;
};

void CheckAnswer(uint8_t pdu, const Sent& sent, const SnmpVarBind& vb, const Model& model) {
    const Ids got = NameOf(vb.name);
    auto it = model.objects.end();
    if (pdu == SNMP_PDU_GETNEXT) {
        it = model.objects.upper_bound(sent.name);
        FUZZ_CHECK(it != model.objects.end() && it->first == got);
    } else {
        FUZZ_CHECK(!sent.nullIds && got == sent.name);
        it = model.objects.find(got);
        FUZZ_CHECK(it != model.objects.end());
    }
    FUZZ_CHECK(Matches(vb.value, it->second));
}

// One request as the input shapes it, checked against the model when both tables
// could be read (a failed read is only required to leave the list untouched).
void Query(FuzzedDataProvider& in, const Model& model) {
    uint8_t pdu = SNMP_PDU_GETNEXT;
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: pdu = SNMP_PDU_GET; break;
    case 1: pdu = SNMP_PDU_SET; break;
    case 2: pdu = in.ConsumeIntegral<uint8_t>(); break;
    default: break;
    }
    std::vector<SnmpVarBind> list(in.ConsumeIntegralInRange<size_t>(0, 4));
    std::vector<Sent> sent;
    for (auto& vb : list) {
        Sent s{MakeName(in, model), false, ASN_NULL};
        if (s.name.empty() && in.ConsumeBool()) {
            s.nullIds = true;
            vb.name = AsnObjectIdentifier{in.ConsumeIntegral<uint32_t>(), nullptr};
        } else {
            vb.name = NewOid(s.name);
        }
        vb.value.asnType = ASN_NULL;
        if (in.ConsumeBool()) {  // a value to be replaced, which the agent must free
            s.valueType = ASN_OCTETSTRING;
            vb.value.asnType = ASN_OCTETSTRING;
            vb.value.asnValue.string = AsnOctetString{static_cast<uint8_t*>(SnmpUtilMemAlloc(3)), 3, 1};
        }
        sent.push_back(s);
    }
    SnmpVarBindList bindings{list.data(), static_cast<uint32_t>(list.size())};
    if (!list.empty() && in.ConsumeIntegralInRange<int>(0, 31) == 0) bindings.list = nullptr;
    AsnInteger32 status = -1, index = -1;
    const int32_t result = SnmpExtensionQuery(pdu, &bindings, &status, &index);
    const auto len = static_cast<AsnInteger32>(list.size());
    const bool served = (pdu == SNMP_PDU_GET || pdu == SNMP_PDU_GETNEXT) && (bindings.list != nullptr || list.empty());

    const bool answered = served && result != 0 && status == SNMP_ERRORSTATUS_NOERROR;
    if (!answered) {
        FUZZ_CHECK(status != SNMP_ERRORSTATUS_NOERROR && index >= 0 && index <= len);
        for (size_t i = 0; i < list.size(); ++i) {
            FUZZ_CHECK(sent[i].nullIds ? list[i].name.ids == nullptr : NameOf(list[i].name) == sent[i].name);
            FUZZ_CHECK(list[i].value.asnType == sent[i].valueType);
        }
    } else {
        FUZZ_CHECK(index == 0);
    }
    if (gKernel.tcpReadable && gKernel.udpReadable && served) {
        // Either every binding has its object, or the first one without is named.
        size_t firstMissing = list.size();
        for (size_t i = 0; i < list.size() && firstMissing == list.size(); ++i) {
            const bool found = pdu == SNMP_PDU_GETNEXT ? model.objects.upper_bound(sent[i].name) != model.objects.end()
                                                       : !sent[i].nullIds && model.objects.count(sent[i].name) != 0;
            if (!found) firstMissing = i;
        }
        FUZZ_CHECK(result == 1);
        if (firstMissing == list.size()) {
            FUZZ_CHECK(answered);
            for (size_t i = 0; i < list.size(); ++i) CheckAnswer(pdu, sent[i], list[i], model);
        } else {
            FUZZ_CHECK(status == SNMP_ERRORSTATUS_NOSUCHNAME && index == static_cast<AsnInteger32>(firstMissing + 1));
        }
    }
    if (pdu == SNMP_PDU_SET && (bindings.list != nullptr || list.empty()))
        FUZZ_CHECK(result == 1 && status == SNMP_ERRORSTATUS_NOSUCHNAME);
    FreeList(list);
}

// A walk that starts at each table makes the agent take a fresh snapshot of it, so
// nothing of the previous input's tables is left (the connections after the listeners,
// whose fresh dump they take).
void Reload() {
    for (const Ids& table : {Ids{1, 3, 6, 1, 2, 1, 6, 13}, Ids{1, 3, 6, 1, 2, 1, 6, 20}, Ids{1, 3, 6, 1, 2, 1, 6, 19},
                             Ids{1, 3, 6, 1, 2, 1, 7, 5}, Ids{1, 3, 6, 1, 2, 1, 7, 7}, Ids{1, 3, 6, 1, 2, 1, 25, 4, 2}}) {
        std::vector<SnmpVarBind> list(1);
        list[0].name = NewOid(table);
        list[0].value.asnType = ASN_NULL;
        SnmpVarBindList bindings{list.data(), 1};
        AsnInteger32 status = 0, index = 0;
        (void)SnmpExtensionQuery(SNMP_PDU_GETNEXT, &bindings, &status, &index);
        FreeList(list);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool started = [] {
        void* trap = reinterpret_cast<void*>(1);
        AsnObjectIdentifier view{0, nullptr};
        FUZZ_CHECK(SnmpExtensionInit(0, &trap, &view) != 0 && trap == nullptr);
        return true;
    }();
    (void)started;

    FuzzedDataProvider in(data, size);
    ReadKernel(in);
    Reload();
    Model model = BuildModel();
    if (gKernel.tcpReadable && gKernel.udpReadable) AddSuccessors(model);
    for (int i = 0; i < 32 && in.remaining_bytes() > 0; ++i) Query(in, model);
    return 0;
}
