// NetBIOS names, Messenger datagrams and name queries: our bytes against known-good
// captures, and the parser against datagrams that lie about their own lengths.
#include "messaging/NetbiosDatagram.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "messaging/LanMailslotReceiver.h"

namespace {

using namespace std::string_literals;

std::string Hex(std::string_view hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += hex[i] == ' ' ? 1 : 2)
        if (hex[i] != ' ') out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

const std::string kToPc2 =
    Hex("10 02 12 34 0a 4d 00 01 00 8a 00 a5 00 00 20 46 41 45 44 44 42 43 41 43 41 43 41 43 41 43 41 43 "
        "41 43 41 43 41 43 41 43 41 43 41 43 41 41 41 00 20 46 41 45 44 44 43 43 41 43 41 43 41 43 41 43 "
        "41 43 41 43 41 43 41 43 41 43 41 43 41 43 41 41 44 00 ff 53 4d 42 25 00 00 00 00 00 00 00 00 00 "
        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 11 00 00 0a 00 00 00 00 00 00 00 00 00 e8 "
        "03 00 00 00 00 00 00 00 00 0a 00 57 00 03 00 01 00 00 00 02 00 1c 00 5c 4d 41 49 4c 53 4c 4f 54 "
        "5c 4d 45 53 53 4e 47 52 00 50 43 31 00 50 43 32 00 68 69");

std::string ToWorkgroup() {
    std::string v = kToPc2.substr(0, 169);
    v[0] = 0x11, v[11] = static_cast<char>(0xab), v[82 + 35] = v[82 + 55] = 0x10, v[82 + 67] = 0x22;
    v.replace(48, 34,
              "\x20"
              "FHEPFCELEHFCEPFFFACACACACACACAAA" +
                  "\0"s);
    return v + "PC1\0WORKGROUP\0hi"s;
}

std::optional<std::string> Build(uint8_t type, const char* to, uint8_t suffix, std::string message) {
    return BuildMessengerDatagram({type, 0x1234, inet_addr("10.77.0.1"), 138, "PC1", to, suffix, message});
}

}  // namespace

TEST(NetbiosDatagram, BuildsBothCapturesByteForByte) {
    EXPECT_EQ(Build(NB_DIRECT_UNIQUE, "PC2", NB_SUFFIX_MESSENGER, "PC1\0PC2\0hi"s), kToPc2);
    EXPECT_EQ(Build(NB_DIRECT_GROUP, "workgroup", NB_SUFFIX_COMPUTER, "PC1\0WORKGROUP\0hi"s), ToWorkgroup());
    const auto d = ParseMessengerDatagram(ToWorkgroup() + "trailing bytes are not the message's");
    ASSERT_TRUE(d);
    EXPECT_EQ(std::tie(d->type, d->id, d->sourceIp, d->sourcePort, d->sourceName, d->destinationName),
              std::make_tuple(NB_DIRECT_GROUP, 0x1234, inet_addr("10.77.0.1"), 138, "PC1"s, "WORKGROUP"s));
    EXPECT_EQ(d->message, "PC1\0WORKGROUP\0hi"s);
}

TEST(NetbiosDatagram, ParserRejectsOtherRequestsAndLyingCounts) {
    const std::vector<std::vector<std::pair<size_t, int>>> lies = {
        {{0, 0x12}},                     // a broadcast datagram, not a direct one
        {{1, 0x03}},                     // more fragments follow
        {{1, 0x00}},                     // not the first fragment
        {{13, 0x10}},                    // a packet offset
        {{82 + 4, 0x32}},                // another SMB command
        {{82 + 61, 2}},                  // not a mailslot write
        {{82 + 35, 20}},                 // only part of the transaction's data
        {{82 + 85, 'B'}},                // \MAILSLOT\MESSNGB
        {{11, 0xa6}},                    // datagram length past the end
        {{82 + 35, 11}, {82 + 55, 11}},  // data count past the end
        {{82 + 58, 0xff}},               // data offset past the end
        {{82 + 67, 29}},                 // byte count past the end
        {{82 + 67, 10}},                 // mailslot name without its NUL
        {{82 + 32, 0xf0}},               // word block past the end
        {{82 + 59, 4}},                  // setup count against the word count
    };
    for (const auto& lie : lies) {
        std::string v = kToPc2;
        for (auto [at, value] : lie) v[at] = static_cast<char>(value);
        EXPECT_FALSE(ParseMessengerDatagram(v)) << lie[0].first;
    }
    for (size_t n = 0; n < kToPc2.size(); ++n) EXPECT_FALSE(ParseMessengerDatagram(kToPc2.substr(0, n))) << n;
    std::string lower = kToPc2;
    lower.replace(82 + 69, 17, "\\mailslot\\messngr");
    EXPECT_TRUE(ParseMessengerDatagram(lower));
}

TEST(NetbiosDatagram, ReceiverTakesOnlyItsOwnNames) {
    const NetbiosNames names{"PC2", "WORKGROUP"};
    auto d = *ParseMessengerDatagram(kToPc2);
    const auto takes = [&](const char* to, uint8_t suffix) {
        d.destinationName = to, d.destinationSuffix = suffix;
        return IsForThisComputer(d, names);
    };
    EXPECT_TRUE(takes("PC2", 3) && takes("pc2", 0) && takes("workgroup", 0) && takes("WORKGROUP", 3));
    EXPECT_FALSE(takes("PC2", 0x20) || takes("PC3", 3) || takes("OFFICE", 0));
}

TEST(NetbiosName, EncodesUpToFifteenBytesKeepingKoreanWhole) {
    EXPECT_FALSE(EncodeNetbiosName("", 0));
    EXPECT_FALSE(EncodeNetbiosName("SIXTEEN-LETTERS!", 0));
    EXPECT_TRUE(EncodeNetbiosName("FIFTEEN-LETTERS", 0));
    std::string name;  // the second byte of 0x81 0x61 is no lower-case letter
    uint8_t suffix = 0;
    ASSERT_TRUE(DecodeNetbiosName(*EncodeNetbiosName("\x81\x61"
                                                     "a",
                                                     3),
                                  0, name, suffix));
    EXPECT_EQ(name,
              "\x81\x61"
              "A");
    EXPECT_EQ(suffix, 3);
}

TEST(NameQuery, BroadcastQueryAndPositiveAnswersOnly) {
    const std::string name = *EncodeNetbiosName("PC2", 3);
    EXPECT_EQ(BuildNameQuery(0xBEEF, "pc2", 3), Hex("be ef 01 10 00 01 00 00 00 00 00 00") + name + Hex("00 20 00 01"));
    const auto answer = [&](const char* flags, const std::string& rrName, const char* nbFlags) {
        return Hex("be ef") + Hex(flags) + Hex("00 00 00 01 00 00 00 00") + rrName +
               Hex("00 20 00 01 00 00 0e 10 00 06") + Hex(nbFlags) + Hex("0a 4d 00 02");
    };
    const auto unique = ParseNameQueryAnswer(answer("85 00", name, "00 00"), 0xBEEF, "pc2", 3);
    ASSERT_TRUE(unique);
    EXPECT_EQ(unique->address, inet_addr("10.77.0.2"));
    EXPECT_FALSE(unique->group);
    EXPECT_TRUE(ParseNameQueryAnswer(answer("85 00", name, "80 00"), 0xBEEF, "PC2", 3)->group);
    EXPECT_FALSE(ParseNameQueryAnswer(answer("85 00", name, "00 00"), 0xBEEE, "PC2", 3));          // another query's
    EXPECT_FALSE(ParseNameQueryAnswer(answer("85 03", name, "00 00"), 0xBEEF, "PC2", 3));          // negative
    EXPECT_FALSE(ParseNameQueryAnswer(answer("85 00", Hex("c0 ff"), "00 00"), 0xBEEF, "PC2", 3));  // bad pointer
    const std::string full = answer("85 00", name, "00 00");
    for (size_t n = 0; n < full.size(); ++n) EXPECT_FALSE(ParseNameQueryAnswer(full.substr(0, n), 0xBEEF, "PC2", 3));
}
