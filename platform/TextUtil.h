#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Text helpers shared by every subsystem: addresses typed or received as text,
// numbers read from files and fields, paths in the working directory, and the
// Korean code page spoken on the wire.

// A dotted IPv4 address: four decimal parts 0..255 of one to three digits, at most
// 15 characters in all, nothing before or after.
bool IsDottedIPv4(std::string_view text);
// The address in network byte order; false (out untouched) for anything that is not
// a dotted IPv4 address.
bool ParseDottedIPv4(std::string_view text, uint32_t& networkOrder);
// "%d.%d.%d.%d" of four address bytes in network order.
std::string FormatDottedIPv4(const uint8_t bytes[4]);
// The same text written into out, which has room for 16 characters (at most 15 and a
// NUL); returns its length. Table reads write two for every row, so no printf.
size_t WriteDottedIPv4(const uint8_t bytes[4], char* out);
std::string FormatDottedIPv4(uint32_t networkOrder);

// An IPv6 address in its canonical text (RFC 5952): lower-case hex without leading
// zeros, the longest run of two or more zero groups (the first of equal runs) as
// "::", and an IPv4-mapped address as ::ffff:a.b.c.d. Written into out, which has room
// for 46 characters; returns the length.
size_t WriteIPv6(const uint8_t bytes[16], char* out);
std::string FormatIPv6(const uint8_t bytes[16]);
// An IPv6 address text, optionally followed by "%" and a zone of 1..15 characters
// (an interface name or index: printable ASCII without '%', '/' or ':'). False, out
// untouched, for anything else; zone may be null.
bool ParseIPv6(std::string_view text, uint8_t bytes[16], std::string* zone);
bool IsIPv6Text(std::string_view text);

// How ReadDecimal takes a number.
struct DecimalRule {
    int64_t min = 0;
    int64_t max = INT32_MAX;
    bool sign = false;      // a leading '+' or '-' is allowed
    bool saturate = false;  // a value beyond [min, max] is clamped instead of failing
    int maxDigits = 0;      // more digits than this fail the read; 0: no limit
};

// Reads a decimal number at text[pos] by the rule. On success pos moves past it; on
// failure neither pos nor value changes. Never overflows, whatever the length.
bool ReadDecimal(std::string_view text, size_t& pos, const DecimalRule& rule, int64_t& value);
// atoi's reading (leading blanks, a sign, digits up to the first other character),
// clamped to the int32 range; 0 when no digit follows.
int32_t SaturatingAtoi(std::string_view text);

// A file in a directory: "dir/name"; the name alone for an empty directory.
std::string JoinPath(std::string_view dir, std::string_view name);

// UTF-8 inside the program, CP949 on the wire. Neither conversion fails: a UTF-8
// character CP949 lacks, or a malformed sequence, becomes '?'; CP949 bytes that form no
// character become U+FFFD.
std::string Utf8ToCp949(std::string_view utf8);
std::string Cp949ToUtf8(std::string_view cp949);
// The longest prefix of CP949 text, at most maxBytes long, that ends on a character
// boundary (a double-byte character is never cut in half).
size_t Cp949PrefixLength(std::string_view cp949, size_t maxBytes);
bool IsValidUtf8(std::string_view text);
// The text with every byte that begins no well-formed UTF-8 sequence replaced by U+FFFD.
std::string ReplaceInvalidUtf8(std::string_view text);
