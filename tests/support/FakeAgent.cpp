#include "support/FakeAgent.h"

#include <arpa/inet.h>

#include <cstring>
#include <string_view>

namespace {

Oid NameOf(const AsnObjectIdentifier& oid) { return Oid(oid.ids, oid.ids + oid.idLength); }

std::array<uint8_t, 4> Address(const char* dotted) {
    std::array<uint8_t, 4> b{};
    in_addr a{};
    if (inet_pton(AF_INET, dotted, &a) == 1) std::memcpy(b.data(), &a.s_addr, 4);
    return b;
}

// One address as the tables of both families index it (a zone as its number).
std::vector<uint32_t> InetIndex(const std::string& address) {
    const size_t percent = address.find('%');
    const std::string bare = address.substr(0, percent);
    uint8_t bytes[16];
    const bool v4 = inet_pton(AF_INET, bare.c_str(), bytes) == 1;
    if (!v4 && inet_pton(AF_INET6, bare.c_str(), bytes) != 1) return {0, 0};
    const uint32_t zoned = percent != std::string::npos ? 1 : 0;
    std::vector<uint32_t> index{(v4 ? 1u : 2u) + 2 * zoned, (v4 ? 4u : 16u) + 4 * zoned};
    index.insert(index.end(), bytes, bytes + (v4 ? 4 : 16));
    const uint32_t zone = zoned ? static_cast<uint32_t>(std::stoul(address.substr(percent + 1))) : 0;
    for (int shift = 24; zoned && shift >= 0; shift -= 8) index.push_back(zone >> shift & 0xff);
    return index;
}

void AddBothFamilies(const FakeAgent& agent, std::map<Oid, FakeValue>& view) {
    uint32_t instance = 0;
    for (const ConnectionRecord& r : agent.records) {
        std::vector<uint32_t> index = InetIndex(r.localAddress);
        index.push_back(static_cast<uint32_t>(r.localPort));
        if (std::string_view(r.protocol) == "TCP" && r.stateIndex == STATE_LISTEN) {
            view[MibColumn(kTcpListenerEntry, 4, index)] = FakeGauge(r.pid);
            continue;
        }
        const bool tcp = std::string_view(r.protocol) == "TCP";
        const std::vector<uint32_t> remote = tcp ? InetIndex(r.remoteAddress) : std::vector<uint32_t>{0, 0};
        index.insert(index.end(), remote.begin(), remote.end());
        index.push_back(tcp ? static_cast<uint32_t>(r.remotePort) : 0);
        if (tcp) {
            view[MibColumn(kTcpConnectionEntry, 7, index)] = FakeInt(r.stateIndex + 1);
            view[MibColumn(kTcpConnectionEntry, 8, index)] = FakeGauge(r.pid);
        } else {
            index.push_back(++instance);
            view[MibColumn(kUdpEndpointEntry, 8, index)] = FakeGauge(r.pid);
        }
    }
    for (const auto& [pid, name] : agent.programs) view[MibColumn(kSwRunName, pid, {})] = FakeText(name);
}

// The view with the records added, rebuilt for each request so a test may change the
// records between reads.
std::map<Oid, FakeValue> ServedView(const FakeAgent& agent) {
    FakeAgent served;
    served.view = agent.view;
    if (agent.bothFamilies) AddBothFamilies(agent, served.view);
    for (const ConnectionRecord& r : agent.records) {
        if (std::strchr(r.localAddress, ':')) continue;  // the older tables hold IPv4 alone
        if (std::string_view(r.protocol) == "TCP")
            served.AddTcp(r.stateIndex + 1, Address(r.localAddress), r.localPort, Address(r.remoteAddress),
                          r.remotePort);
        else
            served.AddUdp(Address(r.localAddress), r.localPort);
    }
    return served.view;
}

void Store(SnmpVarBind& vb, const FakeValue& v) {
    vb.value = AsnAny{};
    vb.value.asnType = v.type;
    if (v.type == ASN_INTEGER) {
        vb.value.asnValue.number = v.number;
    } else if (v.type == ASN_GAUGE32) {
        vb.value.asnValue.gauge = static_cast<uint32_t>(v.number);
    } else if (v.type == ASN_IPADDRESS || v.type == ASN_OCTETSTRING) {
        auto* b = static_cast<uint8_t*>(SnmpUtilMemAlloc(static_cast<uint32_t>(v.bytes.size())));
        std::memcpy(b, v.bytes.data(), v.bytes.size());
        vb.value.asnValue.address = AsnOctetString{b, static_cast<uint32_t>(v.bytes.size()), 1};
    }
}

void Rename(SnmpVarBind& vb, const Oid& name) {
    SnmpUtilMemFree(vb.name.ids);
    vb.name.ids = static_cast<uint32_t*>(SnmpUtilMemAlloc(static_cast<uint32_t>(name.size() * 4)));
    std::memcpy(vb.name.ids, name.data(), name.size() * 4);
    vb.name.idLength = static_cast<uint32_t>(name.size());
}

}  // namespace

Oid MibColumn(const Oid& entry, uint32_t column, const std::vector<uint32_t>& instance) {
    Oid o = entry;
    o.push_back(column);
    o.insert(o.end(), instance.begin(), instance.end());
    return o;
}

FakeValue FakeInt(int32_t n) { return FakeValue{ASN_INTEGER, n, {}}; }
FakeValue FakeGauge(uint32_t n) { return FakeValue{ASN_GAUGE32, static_cast<int32_t>(n), {}}; }
FakeValue FakeText(const std::string& text) { return FakeValue{ASN_OCTETSTRING, 0, {text.begin(), text.end()}}; }

FakeValue FakeIp(std::vector<uint8_t> bytes) { return FakeValue{ASN_IPADDRESS, 0, std::move(bytes)}; }

void FakeAgent::AddTcp(int32_t state, std::array<uint8_t, 4> local, int32_t lport, std::array<uint8_t, 4> remote,
                       int32_t rport) {
    std::vector<uint32_t> inst(local.begin(), local.end());
    inst.push_back(static_cast<uint32_t>(lport));
    inst.insert(inst.end(), remote.begin(), remote.end());
    inst.push_back(static_cast<uint32_t>(rport));
    view[MibColumn(kTcpConnEntry, 1, inst)] = FakeInt(state);
    view[MibColumn(kTcpConnEntry, 2, inst)] = FakeIp({local.begin(), local.end()});
    view[MibColumn(kTcpConnEntry, 3, inst)] = FakeInt(lport);
    view[MibColumn(kTcpConnEntry, 4, inst)] = FakeIp({remote.begin(), remote.end()});
    view[MibColumn(kTcpConnEntry, 5, inst)] = FakeInt(rport);
}

void FakeAgent::AddUdp(std::array<uint8_t, 4> local, int32_t port) {
    std::vector<uint32_t> inst(local.begin(), local.end());
    inst.push_back(static_cast<uint32_t>(port));
    view[MibColumn(kUdpEntry, 1, inst)] = FakeIp({local.begin(), local.end()});
    view[MibColumn(kUdpEntry, 2, inst)] = FakeInt(port);
}

int FakeAgent::Reads() const {
    const Oid table(kTcpConnEntry.begin(), kTcpConnEntry.end() - 1);
    int reads = 0;
    for (const FakeRequest& r : requests)
        if (r.pdu == SNMP_PDU_GETNEXT && r.names.size() == 1 && r.names[0] == table) ++reads;
    return reads;
}

FakeAgent& TheFakeAgent() {
    static FakeAgent agent;
    return agent;
}

int32_t FakeAgentInit(uint32_t uptime, void** trap, AsnObjectIdentifier*) {
    TheFakeAgent().uptimeSeen = uptime;
    *trap = nullptr;
    return TheFakeAgent().initResult;
}

int32_t FakeAgentQuery(uint8_t pdu, SnmpVarBindList* list, AsnInteger32* status, AsnInteger32* index) {
    FakeAgent& s = TheFakeAgent();
    FakeRequest req{pdu, {}};
    for (uint32_t i = 0; i < list->len; ++i) req.names.push_back(NameOf(list->list[i].name));
    s.requests.push_back(req);
    *status = SNMP_ERRORSTATUS_NOERROR;
    *index = 0;
    if (s.failEveryRequest) {
        *status = SNMP_ERRORSTATUS_GENERR;
        *index = 1;
        return 0;
    }
    if (s.force) {
        if (auto f = s.force(req, s.requests.size())) {
            *status = f->status;
            *index = f->index;
            return f->returned ? 1 : 0;
        }
    }
    const std::map<Oid, FakeValue> view = ServedView(s);
    for (uint32_t i = 0; i < list->len; ++i) {
        SnmpVarBind& vb = list->list[i];
        if (pdu == SNMP_PDU_GETNEXT && s.stuckNext) {
            Rename(vb, s.stuckNext->first);
            Store(vb, s.stuckNext->second);
            continue;
        }
        auto it = pdu == SNMP_PDU_GETNEXT ? view.upper_bound(req.names[i]) : view.find(req.names[i]);
        if (it == view.end()) {
            *status = SNMP_ERRORSTATUS_NOSUCHNAME;
            *index = static_cast<AsnInteger32>(i + 1);
            return 1;
        }
        if (pdu == SNMP_PDU_GETNEXT) Rename(vb, it->first);
        Store(vb, it->second);
    }
    return 1;
}
