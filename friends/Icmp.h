#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// The echo request a friend ping sends and what the first datagram back says.

inline constexpr size_t ECHO_REQUEST_SIZE = 44;
inline constexpr uint8_t ECHO_DATA_BYTE = 0x45;
inline constexpr uint8_t ICMP_TYPE_ECHO_REPLY = 0;
inline constexpr uint8_t ICMP_TYPE_ECHO_REQUEST = 8;

// Result words a ping shows in the friend list's state column.
inline constexpr const char* PING_NO_ECHO = "no echo";
inline constexpr const char* PING_FOREIGN = "???";
inline constexpr const char* PING_TIMED_OUT = "timed out";

using EchoRequest = std::array<uint8_t, ECHO_REQUEST_SIZE>;

// The Internet checksum (RFC 1071) with the buffer read as 16-bit words in host byte
// order, to be stored in host byte order.
uint16_t InternetChecksum(const uint8_t* data, size_t length);

// Type 8, code 0, identifier and send time in host byte order, sequence 0, 32 data
// bytes of 0x45, checksum over all 44 bytes.
EchoRequest BuildEchoRequest(uint16_t identifier, uint32_t sendTick);

// The low 16 bits of the process id: the identifier of our requests.
uint16_t EchoIdentifier();

// Milliseconds of a monotonic clock, so a change of the wall clock never shows in a
// reply time; wraps like a 32-bit tick count.
uint32_t MillisecondTick();

// What one received ICMP datagram means for `request`, sent to `to` by a socket that
// also reads everything else: late replies to earlier pings, other programs' traffic,
// errors about other packets. `from` is the datagram's source; addresses in network
// order. `withIpHeader`: the datagram starts with its IPv4 header (a raw socket's view).
enum class EchoVerdict {
    Reply,    // from the pinged address, echoing this very request
    Foreign,  // an echo reply from the pinged address to another program ("???")
    NoEcho,   // another message from the pinged address, or an error quoting this request
    Skip,     // not about this ping: the wait goes on
};
EchoVerdict JudgeEchoDatagram(const uint8_t* datagram, size_t length, bool withIpHeader, uint32_t from, uint32_t to,
                              const EchoRequest& request);

// An ICMP error is about this ping when it was sent to `to` and the ICMP bytes it quotes
// (at least the 8 every error carries) are the request's own, the checksum (which
// covers the send time) included.
bool QuotesRequest(const uint8_t* quoted, size_t length, uint32_t destination, uint32_t to, const EchoRequest& request);

// The row's word for a verdict other than Skip; elapsedMs counts for a Reply only.
std::string EchoResultWord(EchoVerdict verdict, int32_t elapsedMs);
