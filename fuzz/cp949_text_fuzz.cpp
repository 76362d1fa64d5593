// The text helpers on bytes from the wire and from files: the CP949 conversions and
// cuts, dotted addresses and the number readers with the rules their callers use.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "platform/TextUtil.h"

namespace {

void CheckConversions(std::string_view bytes) {
    const std::string utf8 = Cp949ToUtf8(bytes);
    FUZZ_CHECK(IsValidUtf8(utf8));
    // Text that decoded without a replacement is CP949 through and through, and must
    // encode back to the same bytes.
    if (utf8.find("\xEF\xBF\xBD") == std::string::npos) FUZZ_CHECK(Utf8ToCp949(utf8) == bytes);
    // No byte sequence, however bad, takes the character after it along.
    FUZZ_CHECK(Cp949ToUtf8(std::string(bytes) + "!") == utf8 + "!");
    const std::string cp949 = Utf8ToCp949(bytes);
    FUZZ_CHECK(IsValidUtf8(Cp949ToUtf8(cp949)));
    if (IsValidUtf8(bytes)) FUZZ_CHECK(cp949.size() <= bytes.size());
}

void CheckCut(std::string_view bytes, size_t maxBytes) {
    const size_t cut = Cp949PrefixLength(bytes, maxBytes);
    FUZZ_CHECK(cut <= maxBytes && cut <= bytes.size());
    FUZZ_CHECK(Cp949PrefixLength(bytes.substr(0, cut), maxBytes) == cut);
    FUZZ_CHECK(Cp949PrefixLength(bytes, bytes.size()) == bytes.size());
    // Only a double-byte character that would not fit stops the cut short.
    if (cut < bytes.size() && cut < maxBytes) FUZZ_CHECK(cut + 1 == maxBytes);
}

void CheckAddress(std::string_view text) {
    uint32_t address = 0;
    if (!ParseDottedIPv4(text, address)) return;
    FUZZ_CHECK(IsDottedIPv4(text));
    uint32_t again = ~address;
    FUZZ_CHECK(ParseDottedIPv4(FormatDottedIPv4(address), again) && again == address);
}

void CheckDecimal(std::string_view text, size_t start) {
    static const DecimalRule kRules[] = {
        {0, 65535, false, false, 5},                 // ports of an event text
        {1, 65535, false, false, 5},                 // whois ports
        {0, 255, false, false, 3},                   // address parts
        {INT32_MIN, INT32_MAX, true, false, 0},      // services-file ports
        {INT32_MIN, INT32_MAX, true, true, 0},       // typed numbers
    };
    for (const DecimalRule& rule : kRules) {
        size_t pos = start;
        int64_t value = 0;
        if (!ReadDecimal(text, pos, rule, value)) {
            FUZZ_CHECK(pos == start);
            continue;
        }
        FUZZ_CHECK(value >= rule.min && value <= rule.max && pos > start && pos <= text.size());
    }
    // strtoll, clamped, is the reference for atoi's reading.
    const std::string nulTerminated(text);
    errno = 0;
    long long expected = std::strtoll(nulTerminated.c_str(), nullptr, 10);
    if (expected < INT32_MIN) expected = INT32_MIN;
    if (expected > INT32_MAX) expected = INT32_MAX;
    FUZZ_CHECK(SaturatingAtoi(text) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const size_t maxBytes = input.ConsumeIntegralInRange<size_t>(0, 1100);
    const size_t start = input.ConsumeIntegralInRange<size_t>(0, 8);
    const std::string bytes = input.ConsumeRemainingBytesAsString();
    CheckConversions(bytes);
    CheckCut(bytes, maxBytes);
    CheckAddress(bytes);
    CheckDecimal(bytes, start);
    return 0;
}
