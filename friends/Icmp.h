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

// The result word for a received datagram: "%dms" for an echo reply carrying our
// identifier, "???" for another program's echo reply, "no echo" for any other ICMP
// message and for a datagram too short to hold the header and 12 ICMP bytes.
// `withIpHeader`: the datagram starts with its IPv4 header (a raw socket's view).
std::string AnalyseEchoReply(const uint8_t* datagram, size_t length, bool withIpHeader, uint16_t identifier,
                             uint32_t nowTick);
