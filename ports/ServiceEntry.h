#pragma once
#include <cstdint>

// One entry line of a services file.
struct ServiceEntry {
    char protocolLetter;  // first letter after the '/'; kept, never compared
    int32_t port;
    char name[24];        // at most 23 characters and the NUL
};

inline constexpr int SERVICE_NAME_MAX = 23;
