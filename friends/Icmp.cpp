#include "friends/Icmp.h"

#include <time.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr size_t kTypeOffset = 0;
constexpr size_t kChecksumOffset = 2;
constexpr size_t kIdentifierOffset = 4;
constexpr size_t kSequenceOffset = 6;
constexpr size_t kTimeOffset = 8;
constexpr size_t kDataOffset = 12;
constexpr size_t kUsedIcmpBytes = 12;  // type, code, checksum, identifier, sequence, time

template <class T>
T ReadHost(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
void WriteHost(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

}  // namespace

uint16_t InternetChecksum(const uint8_t* data, size_t length) {
    uint32_t sum = 0;
    size_t i = 0;
    for (; i + 1 < length; i += 2) sum += ReadHost<uint16_t>(data + i);
    if (i < length) sum += data[i];
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum += sum >> 16;
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

EchoRequest BuildEchoRequest(uint16_t identifier, uint32_t sendTick) {
    EchoRequest p{};
    p[kTypeOffset] = ICMP_TYPE_ECHO_REQUEST;
    WriteHost<uint16_t>(&p[kIdentifierOffset], identifier);
    std::memset(&p[kDataOffset], ECHO_DATA_BYTE, ECHO_REQUEST_SIZE - kDataOffset);
    WriteHost<uint16_t>(&p[kSequenceOffset], 0);
    WriteHost<uint32_t>(&p[kTimeOffset], sendTick);
    WriteHost<uint16_t>(&p[kChecksumOffset], InternetChecksum(p.data(), p.size()));
    return p;
}

uint16_t EchoIdentifier() { return static_cast<uint16_t>(::getpid() & 0xFFFF); }

uint32_t MillisecondTick() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

std::string AnalyseEchoReply(const uint8_t* datagram, size_t length, bool withIpHeader, uint16_t identifier,
                             uint32_t nowTick) {
    size_t header = 0;
    if (withIpHeader) {
        if (length < 1) return PING_NO_ECHO;
        header = static_cast<size_t>(datagram[0] & 0x0F) * 4;
    }
    if (length < header + kUsedIcmpBytes) return PING_NO_ECHO;
    const uint8_t* icmp = datagram + header;
    if (icmp[kTypeOffset] != ICMP_TYPE_ECHO_REPLY) return PING_NO_ECHO;
    if (ReadHost<uint16_t>(icmp + kIdentifierOffset) != identifier) return PING_FOREIGN;
    const auto elapsed = static_cast<int32_t>(nowTick - ReadHost<uint32_t>(icmp + kTimeOffset));
    return std::to_string(elapsed) + "ms";
}
