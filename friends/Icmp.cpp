#include "friends/Icmp.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kTypeOffset = 0;
constexpr size_t kChecksumOffset = 2;
constexpr size_t kIdentifierOffset = 4;
constexpr size_t kSequenceOffset = 6;
constexpr size_t kTimeOffset = 8;
constexpr size_t kDataOffset = 12;
constexpr size_t kUsedIcmpBytes = 12;  // type, code, checksum, identifier, sequence, time
constexpr size_t kIcmpHeaderBytes = 8;
constexpr size_t kIpv4HeaderBytes = 20;
constexpr size_t kIpProtocolOffset = 9;
constexpr size_t kIpDestinationOffset = 16;
constexpr uint8_t kProtocolIcmp = 1;

// Destination unreachable, source quench, time exceeded, parameter problem: each
// quotes the packet it is about. A redirect is not among them, as the packet went on.
bool IsIcmpError(uint8_t type) { return type == 3 || type == 4 || type == 11 || type == 12; }

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

EchoVerdict JudgeEchoDatagram(const uint8_t* datagram, size_t length, bool withIpHeader, uint32_t from, uint32_t to,
                              const EchoRequest& request) {
    size_t header = 0;
    if (withIpHeader) {
        if (length < 1) return EchoVerdict::Skip;
        header = static_cast<size_t>(datagram[0] & 0x0F) * 4;
    }
    if (length < header + kUsedIcmpBytes) return EchoVerdict::Skip;
    const uint8_t* icmp = datagram + header;
    const size_t icmpLength = length - header;
    const uint8_t type = icmp[kTypeOffset];
    if (IsIcmpError(type)) {
        // Any router may send it; what counts is the packet it quotes: an IPv4 header,
        // then the first bytes of that packet's ICMP message.
        const uint8_t* ip = icmp + kIcmpHeaderBytes;
        const size_t ipLength = icmpLength - kIcmpHeaderBytes;
        if (ipLength < kIpv4HeaderBytes) return EchoVerdict::Skip;
        const size_t ipHeader = static_cast<size_t>(ip[0] & 0x0F) * 4;
        if (ipHeader < kIpv4HeaderBytes || ipLength < ipHeader || ip[kIpProtocolOffset] != kProtocolIcmp)
            return EchoVerdict::Skip;
        const auto destination = ReadHost<uint32_t>(ip + kIpDestinationOffset);
        return QuotesRequest(ip + ipHeader, ipLength - ipHeader, destination, to, request) ? EchoVerdict::NoEcho
                                                                                         : EchoVerdict::Skip;
    }
    if (from != to) return EchoVerdict::Skip;
    if (type != ICMP_TYPE_ECHO_REPLY) return EchoVerdict::NoEcho;
    if (ReadHost<uint16_t>(icmp + kIdentifierOffset) != ReadHost<uint16_t>(&request[kIdentifierOffset]))
        return EchoVerdict::Foreign;
    // Sequence, send time and data as sent: a late reply to an earlier ping of the same
    // address echoes another send time.
    const size_t echoed = std::min(icmpLength, request.size()) - kIdentifierOffset;
    return std::memcmp(icmp + kIdentifierOffset, &request[kIdentifierOffset], echoed) == 0 ? EchoVerdict::Reply
                                                                                           : EchoVerdict::Skip;
}

bool QuotesRequest(const uint8_t* quoted, size_t length, uint32_t destination, uint32_t to, const EchoRequest& request) {
    return destination == to && length >= kIcmpHeaderBytes &&
           std::memcmp(quoted, request.data(), std::min(length, request.size())) == 0;
}

std::string EchoResultWord(EchoVerdict verdict, int32_t elapsedMs) {
    switch (verdict) {
    case EchoVerdict::Reply: return std::to_string(elapsedMs) + "ms";
    case EchoVerdict::Foreign: return PING_FOREIGN;
    default: return PING_NO_ECHO;
    }
}
