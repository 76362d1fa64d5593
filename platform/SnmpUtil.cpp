#include "platform/SnmpTypes.h"

#include <cstdlib>
#include <cstring>

// Plain malloc underneath: the agent library carries its own copy of these helpers,
// and a block allocated on one side must be freeable on the other.
extern "C" void* SnmpUtilMemAlloc(uint32_t bytes) {
    return std::calloc(1, bytes == 0 ? 1 : bytes);
}

extern "C" void SnmpUtilMemFree(void* block) {
    std::free(block);
}

extern "C" int32_t SnmpUtilOidCpy(AsnObjectIdentifier* dst, const AsnObjectIdentifier* src) {
    if (dst == nullptr || src == nullptr) return SNMPAPI_ERROR;
    dst->idLength = 0;
    dst->ids = nullptr;
    if (src->idLength == 0) return SNMPAPI_NOERROR;
    if (src->ids == nullptr || src->idLength > UINT32_MAX / sizeof(uint32_t)) return SNMPAPI_ERROR;
    auto* ids = static_cast<uint32_t*>(SnmpUtilMemAlloc(src->idLength * sizeof(uint32_t)));
    if (ids == nullptr) return SNMPAPI_ERROR;
    std::memcpy(ids, src->ids, src->idLength * sizeof(uint32_t));
    dst->ids = ids;
    dst->idLength = src->idLength;
    return SNMPAPI_NOERROR;
}

extern "C" void SnmpUtilOidFree(AsnObjectIdentifier* oid) {
    if (oid == nullptr) return;
    SnmpUtilMemFree(oid->ids);
    oid->ids = nullptr;
    oid->idLength = 0;
}

extern "C" void SnmpUtilAsnAnyFree(AsnAny* value) {
    if (value == nullptr) return;
    switch (value->asnType) {
    case ASN_OCTETSTRING: case ASN_SEQUENCE: case ASN_IPADDRESS: case ASN_OPAQUE:
        if (value->asnValue.string.dynamic) SnmpUtilMemFree(value->asnValue.string.stream);
        break;
    default:
        break;
    }
    *value = AsnAny{};
    value->asnType = ASN_NULL;
}
