// A library with an init entry point and no query entry point: the program must
// refuse it.
#include "platform/SnmpTypes.h"

extern "C" __attribute__((visibility("default"))) int32_t SnmpExtensionInit(
    uint32_t, void** trapEvent, AsnObjectIdentifier*) {
    if (trapEvent != nullptr) *trapEvent = nullptr;
    return 1;
}
