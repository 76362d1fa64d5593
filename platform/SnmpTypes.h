#pragma once
// SNMP types of the MIB-II extension-agent interface, as the agent library and its
// caller share them. Layout and names follow the extension-agent API so that the
// walk code reads like the interface it drives; the integer types are fixed-width.
#include <cstdint>

using AsnInteger32 = int32_t;
using AsnUnsigned32 = uint32_t;
using AsnCounter32 = uint32_t;
using AsnGauge32 = uint32_t;
using AsnTimeticks = uint32_t;
using AsnCounter64 = uint64_t;

struct AsnOctetString {
    uint8_t* stream;
    uint32_t length;
    int32_t dynamic;  // non-zero: stream was allocated with SnmpUtilMemAlloc
};

struct AsnObjectIdentifier {
    uint32_t idLength;
    uint32_t* ids;
};

using AsnBits = AsnOctetString;
using AsnSequence = AsnOctetString;
using AsnIPAddress = AsnOctetString;
using AsnOpaque = AsnOctetString;

struct AsnAny {
    uint8_t asnType;
    union {
        AsnInteger32 number;
        AsnUnsigned32 unsigned32;
        AsnCounter64 counter64;
        AsnOctetString string;
        AsnBits bits;
        AsnObjectIdentifier object;
        AsnSequence sequence;
        AsnIPAddress address;
        AsnCounter32 counter;
        AsnGauge32 gauge;
        AsnTimeticks ticks;
        AsnOpaque arbitrary;
    } asnValue;
};

struct SnmpVarBind {
    AsnObjectIdentifier name;
    AsnAny value;
};

struct SnmpVarBindList {
    SnmpVarBind* list;
    uint32_t len;
};

// Value type bytes.
inline constexpr uint8_t ASN_INTEGER = 0x02;
inline constexpr uint8_t ASN_OCTETSTRING = 0x04;
inline constexpr uint8_t ASN_NULL = 0x05;
inline constexpr uint8_t ASN_OBJECTIDENTIFIER = 0x06;
inline constexpr uint8_t ASN_SEQUENCE = 0x30;
inline constexpr uint8_t ASN_IPADDRESS = 0x40;
inline constexpr uint8_t ASN_COUNTER32 = 0x41;
inline constexpr uint8_t ASN_GAUGE32 = 0x42;
inline constexpr uint8_t ASN_TIMETICKS = 0x43;
inline constexpr uint8_t ASN_OPAQUE = 0x44;

// Request types.
inline constexpr uint8_t SNMP_PDU_GET = 0xA0;
inline constexpr uint8_t SNMP_PDU_GETNEXT = 0xA1;
inline constexpr uint8_t SNMP_PDU_RESPONSE = 0xA2;
inline constexpr uint8_t SNMP_PDU_SET = 0xA3;

// Error status values.
inline constexpr AsnInteger32 SNMP_ERRORSTATUS_NOERROR = 0;
inline constexpr AsnInteger32 SNMP_ERRORSTATUS_TOOBIG = 1;
inline constexpr AsnInteger32 SNMP_ERRORSTATUS_NOSUCHNAME = 2;
inline constexpr AsnInteger32 SNMP_ERRORSTATUS_BADVALUE = 3;
inline constexpr AsnInteger32 SNMP_ERRORSTATUS_READONLY = 4;
inline constexpr AsnInteger32 SNMP_ERRORSTATUS_GENERR = 5;

// Results of the SnmpUtil helpers.
inline constexpr int32_t SNMPAPI_NOERROR = 1;
inline constexpr int32_t SNMPAPI_ERROR = 0;

// The agent's two entry points. Both return non-zero for "done". The trap event is
// an opaque handle the agent may hand back.
extern "C" {
using SnmpExtensionInitFn = int32_t (*)(uint32_t uptimeReference, void** trapEvent,
                                        AsnObjectIdentifier* supportedView);
using SnmpExtensionQueryFn = int32_t (*)(uint8_t pduType, SnmpVarBindList* varBinds,
                                         AsnInteger32* errorStatus, AsnInteger32* errorIndex);

// Memory shared between agent and caller: a block from SnmpUtilMemAlloc (zero
// filled) may be released by the other side with SnmpUtilMemFree.
void* SnmpUtilMemAlloc(uint32_t bytes);
void SnmpUtilMemFree(void* block);
// Deep copy of src's sub-identifiers into dst; SNMPAPI_NOERROR or SNMPAPI_ERROR.
int32_t SnmpUtilOidCpy(AsnObjectIdentifier* dst, const AsnObjectIdentifier* src);
// Releases the sub-identifier array and leaves the identifier empty.
void SnmpUtilOidFree(AsnObjectIdentifier* oid);
// Releases what a value owns (the byte stream of a string-like value whose dynamic flag
// is set) and leaves it NULL: the one rule both sides of the agent interface follow.
void SnmpUtilAsnAnyFree(AsnAny* value);
}
