// The table walk against a hostile agent: every answer (names, value types and
// lengths, error codes, return values) comes from the input. The walk must end, free
// whatever the agent handed over, and keep only rows it can show.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "monitor/CNetTableAgent.h"
#include "platform/TextUtil.h"

namespace {

FuzzedDataProvider* gInput = nullptr;

constexpr uint32_t kEntries[2][9] = {{1, 3, 6, 1, 2, 1, 6, 13, 1}, {1, 3, 6, 1, 2, 1, 7, 5, 1}};
uint8_t gStaticAddress[4] = {127, 0, 0, 1};  // a value the agent keeps ownership of

void SetName(AsnObjectIdentifier& name, const std::vector<uint32_t>& ids) {
    SnmpUtilOidFree(&name);
    auto* block = static_cast<uint32_t*>(SnmpUtilMemAlloc(static_cast<uint32_t>(ids.size() * sizeof(uint32_t))));
    FUZZ_CHECK(block != nullptr);
    std::copy(ids.begin(), ids.end(), block);
    name = AsnObjectIdentifier{static_cast<uint32_t>(ids.size()), block};
}

// Mostly a step forward under a column, so walks go on; sometimes a stuck, backward,
// foreign or empty name.
void NextName(FuzzedDataProvider& in, AsnObjectIdentifier& name) {
    std::vector<uint32_t> ids;
    if (name.ids != nullptr) ids.assign(name.ids, name.ids + name.idLength);
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:  // the same name again
        return;
    case 1:  // anything
        ids.resize(in.ConsumeIntegralInRange<size_t>(0, 16));
        for (auto& id : ids) id = in.ConsumeIntegral<uint32_t>();
        break;
    case 2:  // a length without sub-identifiers
        SnmpUtilOidFree(&name);
        name.idLength = in.ConsumeIntegral<uint32_t>();
        return;
    case 3: {  // a column of either table, with an instance
        const auto& entry = kEntries[in.ConsumeBool() ? 1 : 0];
        ids.assign(entry, entry + 9);
        ids.push_back(in.ConsumeIntegralInRange<uint32_t>(0, 6));
        const size_t instance = in.ConsumeIntegralInRange<size_t>(0, 11);
        for (size_t i = 0; i < instance; ++i) ids.push_back(in.ConsumeIntegral<uint8_t>());
        break;
    }
    default:  // one sub-identifier more: after the sent name and under its column
        ids.push_back(in.ConsumeIntegral<uint8_t>());
        break;
    }
    SetName(name, ids);
}

int32_t Number(FuzzedDataProvider& in) {
    static const int32_t kEdges[] = {INT32_MIN, INT32_MIN + 1, -1, 0, 1, 5, 11, 12, 13, 65535, 65536, INT32_MAX};
    return in.ConsumeBool() ? in.PickValueInArray(kEdges) : in.ConsumeIntegral<int32_t>();
}

void SetValue(FuzzedDataProvider& in, AsnAny& value) {
    SnmpUtilAsnAnyFree(&value);
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
        break;  // NULL
    case 1: case 2:
        value.asnType = ASN_INTEGER;
        value.asnValue.number = Number(in);
        break;
    case 3: {  // an address or a string of any length
        value.asnType = in.ConsumeBool() ? ASN_IPADDRESS : ASN_OCTETSTRING;
        const auto length = in.ConsumeIntegralInRange<uint32_t>(0, 8);
        auto* bytes = static_cast<uint8_t*>(SnmpUtilMemAlloc(length));
        FUZZ_CHECK(bytes != nullptr);
        for (uint32_t i = 0; i < length; ++i) bytes[i] = in.ConsumeIntegral<uint8_t>();
        value.asnValue.address = AsnOctetString{bytes, length, 1};
        break;
    }
    case 4:  // an address the agent keeps
        value.asnType = ASN_IPADDRESS;
        value.asnValue.address = AsnOctetString{gStaticAddress, 4, 0};
        break;
    case 5:  // four bytes promised, none given
        value.asnType = ASN_IPADDRESS;
        value.asnValue.address = AsnOctetString{nullptr, 4, 0};
        break;
    default: {
        static const uint8_t kTypes[] = {ASN_IPADDRESS, ASN_COUNTER32, ASN_GAUGE32, ASN_TIMETICKS, ASN_OBJECTIDENTIFIER};
        value.asnType = in.PickValueInArray(kTypes);
        if (value.asnType == ASN_IPADDRESS) {
            auto* bytes = static_cast<uint8_t*>(SnmpUtilMemAlloc(4));
            FUZZ_CHECK(bytes != nullptr);
            for (int i = 0; i < 4; ++i) bytes[i] = in.ConsumeIntegral<uint8_t>();
            value.asnValue.address = AsnOctetString{bytes, 4, 1};
        } else {
            value.asnValue.number = Number(in);  // no pointer: the object identifier stays empty
        }
        break;
    }
    }
}

int32_t HostileInit(uint32_t, void** trapEvent, AsnObjectIdentifier* view) {
    if (trapEvent) *trapEvent = nullptr;
    if (view) *view = AsnObjectIdentifier{0, nullptr};
    return 1;
}

// An exhausted input answers "past the end of the view", so every walk ends.
int32_t HostileQuery(uint8_t pdu, SnmpVarBindList* list, AsnInteger32* status, AsnInteger32* index) {
    FuzzedDataProvider& in = *gInput;
    FUZZ_CHECK(pdu == SNMP_PDU_GET || pdu == SNMP_PDU_GETNEXT);
    FUZZ_CHECK(list != nullptr && list->list != nullptr && list->len > 0 && list->len <= 5);
    *status = SNMP_ERRORSTATUS_NOERROR;
    *index = 0;
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
        *status = SNMP_ERRORSTATUS_NOSUCHNAME;
        *index = 1;
        return 1;
    case 1:
        *status = in.ConsumeIntegral<int32_t>();
        *index = in.ConsumeIntegral<int32_t>();
        return 0;
    case 2:
        *status = in.ConsumeIntegral<int32_t>();
        *index = in.ConsumeIntegral<int32_t>();
        return 1;
    default:
        break;
    }
    for (uint32_t i = 0; i < list->len; ++i) {
        SnmpVarBind& vb = list->list[i];
        if (pdu == SNMP_PDU_GETNEXT || in.ConsumeIntegralInRange<int>(0, 15) == 0) NextName(in, vb.name);
        SetValue(in, vb.value);
    }
    return 1;
}

void CheckRecord(const ConnectionRecord& r) {
    FUZZ_CHECK(std::memchr(r.localAddress, '\0', sizeof r.localAddress) != nullptr);
    FUZZ_CHECK(std::memchr(r.remoteAddress, '\0', sizeof r.remoteAddress) != nullptr);
    // Each address is written as its family says.
    auto isAddress = [&r](const char* text) { return r.family == 4 ? IsDottedIPv4(text) : IsIPv6Text(text); };
    FUZZ_CHECK(r.family == 4 || r.family == 6);
    FUZZ_CHECK(isAddress(r.localAddress) || (r.family == 4 && std::strchr(r.localAddress, '%')));
    FUZZ_CHECK(std::memchr(r.program, '\0', sizeof r.program) != nullptr);
    FUZZ_CHECK(r.localPort >= 0 && r.localPort <= 65535);
    if (std::strcmp(r.protocol, "TCP") == 0) {
        FUZZ_CHECK(isAddress(r.remoteAddress) || (r.family == 4 && std::strchr(r.remoteAddress, '%')));
        FUZZ_CHECK(r.remotePort >= 0 && r.remotePort <= 65535);
        FUZZ_CHECK(r.stateIndex >= STATE_CLOSED && r.stateIndex <= STATE_DELETE_TCB);
    } else {
        FUZZ_CHECK(std::strcmp(r.protocol, "UDP") == 0);
        FUZZ_CHECK(std::strcmp(r.remoteAddress, "*:*") == 0 && r.remotePort == 0 && r.stateIndex == -1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CNetTableAgent* agent = [] {
        static CNetTableAgent made(HostileInit, HostileQuery);
        FUZZ_CHECK(made.Initialize());
        return &made;
    }();
    FuzzedDataProvider in(data, size);
    gInput = &in;
    const int result = agent->ReadTables();
    gInput = nullptr;
    FUZZ_CHECK(result == 0 || result == -1);
    FUZZ_CHECK(std::memchr(agent->errorText, '\0', sizeof agent->errorText) != nullptr);
    FUZZ_CHECK(agent->GetRecordCount() >= 0 && agent->GetRecordCount() <= MAX_CONNECTIONS);
    for (int i = 0; i < agent->GetRecordCount(); ++i) CheckRecord(agent->records[i]);
    return 0;
}
