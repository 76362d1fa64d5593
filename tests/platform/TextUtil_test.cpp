#include "platform/TextUtil.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

TEST(TextUtil, DottedIPv4AcceptsOnlyFourOctetsInFifteenCharacters) {
    uint32_t a = 0;
    ASSERT_TRUE(ParseDottedIPv4("10.0.0.5", a));
    EXPECT_EQ(FormatDottedIPv4(a), "10.0.0.5");
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&a);
    EXPECT_EQ(b[0], 10);  // network order
    EXPECT_EQ(b[3], 5);
    EXPECT_TRUE(IsDottedIPv4("255.255.255.255"));
    EXPECT_TRUE(IsDottedIPv4("0.0.0.0"));
    EXPECT_TRUE(IsDottedIPv4("001.002.003.004"));
    // Every byte in every place, and four three-digit ones (v = 100..127), as printf writes them.
    for (unsigned v = 0; v < 256; ++v) {
        const uint8_t b[4] = {uint8_t(v), uint8_t(255 - v), uint8_t(v + 128), uint8_t(v * 7)};
        char expected[16], out[16];  // exactly the room it may use
        std::memset(out, '#', sizeof out);
        std::snprintf(expected, sizeof expected, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
        EXPECT_EQ(WriteDottedIPv4(b, out), std::strlen(expected));
        EXPECT_STREQ(out, expected);
    }
    for (const char* bad : {"", "1.2.3", "1.2.3.4.", ".1.2.3.4", "1.2.3.256", "1..2.3", "1.2.3.4 ", " 1.2.3.4",
                            "1.2.3.-4", "1.2.3.0004", "a.b.c.d", "1.2.3.4x", "0001.2.3.4"}) {
        uint32_t untouched = 77;
        EXPECT_FALSE(ParseDottedIPv4(bad, untouched)) << bad;
        EXPECT_EQ(untouched, 77u) << bad;
    }
}

TEST(TextUtil, ReadDecimalKeepsItsBoundsWithoutOverflowing) {
    int64_t v = -1;
    size_t pos = 2;
    EXPECT_TRUE(ReadDecimal("C 65535 x", pos, DecimalRule{0, 65535}, v));
    EXPECT_EQ(v, 65535);
    EXPECT_EQ(pos, 7u);
    pos = 0;
    EXPECT_FALSE(ReadDecimal("65536", pos, DecimalRule{0, 65535}, v));
    EXPECT_EQ(pos, 0u);
    EXPECT_FALSE(ReadDecimal("000080", pos, DecimalRule{0, 65535, false, false, 5}, v));
    EXPECT_FALSE(ReadDecimal("-5", pos, DecimalRule{}, v));  // no sign unless allowed
    EXPECT_FALSE(ReadDecimal("x", pos, DecimalRule{}, v));
    const std::string huge(400, '9');
    EXPECT_FALSE(ReadDecimal(huge, pos, DecimalRule{}, v));
    EXPECT_TRUE(ReadDecimal(huge, pos, DecimalRule{0, 100, false, true}, v));
    EXPECT_EQ(v, 100);
    EXPECT_EQ(pos, huge.size());

    EXPECT_EQ(SaturatingAtoi("  42abc"), 42);
    EXPECT_EQ(SaturatingAtoi("-17"), -17);
    EXPECT_EQ(SaturatingAtoi("99999999999999999999"), INT32_MAX);
    EXPECT_EQ(SaturatingAtoi("-99999999999999999999"), INT32_MIN);
    EXPECT_EQ(SaturatingAtoi("abc"), 0);
    EXPECT_EQ(SaturatingAtoi(""), 0);
}

TEST(TextUtil, JoinPath) {
    EXPECT_EQ(JoinPath("/home/u", "TVENV.INI"), "/home/u/TVENV.INI");
    EXPECT_EQ(JoinPath("/", "FRIEND.INI"), "/FRIEND.INI");
    EXPECT_EQ(JoinPath("", "services"), "services");
}

TEST(TextUtil, Cp949RoundTripAndReplacement) {
    const std::string korean = "메시지 수신 확인";
    const std::string wire = Utf8ToCp949(korean);
    // 메 is B8 DE in CP949; each Hangul syllable takes two bytes on the wire.
    ASSERT_GE(wire.size(), 2u);
    EXPECT_EQ(static_cast<unsigned char>(wire[0]), 0xB8);
    EXPECT_EQ(static_cast<unsigned char>(wire[1]), 0xDE);
    EXPECT_EQ(wire.size(), 2u * 7 + 2);
    EXPECT_EQ(Cp949ToUtf8(wire), korean);
    // A character CP949 lacks, and malformed UTF-8, become '?' and the rest survives.
    EXPECT_EQ(Utf8ToCp949("a\xF0\x9F\x98\x80" "b\xC3" "c\xFF"), "a?b?c?");
    // A lone lead byte, and a byte CP949 never uses, become U+FFFD, never dropped.
    EXPECT_EQ(Cp949ToUtf8("x\xB8"), "x\xEF\xBF\xBD");
    EXPECT_EQ(Cp949ToUtf8("\xFF" "ok"), "\xEF\xBF\xBD" "ok");
    EXPECT_EQ(Cp949ToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
    // A pair that maps to nothing costs one U+FFFD and the character after it survives,
    // also where iconv took that character along (A2 E8) or would resync inside it (C9 A1).
    const std::string bad = "\xEF\xBF\xBD";
    EXPECT_EQ(Cp949ToUtf8("x\xA2\xE8" "AB\xC7\xD1"), "x" + bad + "AB한");
    EXPECT_EQ(Cp949ToUtf8("\xC9\xA1" "AB"), bad + "AB");
    EXPECT_EQ(Cp949ToUtf8("\xA2\xE8"), bad);
    EXPECT_EQ(Cp949ToUtf8("\xB8" "0\xA2\xE8\xB8\xDE"), bad + "0" + bad + "메");
    // Long input crosses the conversion buffer.
    std::string many;
    for (int i = 0; i < 3000; ++i) many += "한";
    EXPECT_EQ(Cp949ToUtf8(Utf8ToCp949(many)), many);
}

TEST(TextUtil, Cp949PrefixNeverSplitsACharacter) {
    const std::string wire = Utf8ToCp949("a한b");  // 61 C7 D1 62
    EXPECT_EQ(Cp949PrefixLength(wire, 4), 4u);
    EXPECT_EQ(Cp949PrefixLength(wire, 3), 3u);
    EXPECT_EQ(Cp949PrefixLength(wire, 2), 1u);
    EXPECT_EQ(Cp949PrefixLength(wire, 0), 0u);
    EXPECT_TRUE(IsValidUtf8("한글 ok"));
    EXPECT_FALSE(IsValidUtf8(wire));
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));  // a surrogate
    EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));      // overlong
}
