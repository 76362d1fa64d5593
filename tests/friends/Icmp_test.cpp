// The echo request's bytes and the reading of what comes back (little-endian host).
#include "friends/Icmp.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Icmp, EchoRequestBytesAndChecksum) {
    const EchoRequest p = BuildEchoRequest(0x1234, 0xA1B2C3D4);
    EXPECT_EQ(Bytes(p.begin(), p.begin() + 12), (Bytes{8, 0, p[2], p[3], 0x34, 0x12, 0, 0, 0xD4, 0xC3, 0xB2, 0xA1}));
    EXPECT_EQ(Bytes(p.begin() + 12, p.end()), Bytes(32, 0x45));
    EXPECT_EQ(InternetChecksum(p.data(), p.size()), 0);  // sums to all ones with it in place
    const uint8_t rfc1071[] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7, 0x01};
    EXPECT_EQ(InternetChecksum(rfc1071, 8), 0x0D22);
    EXPECT_EQ(InternetChecksum(rfc1071, 9), 0x0D21);  // odd length: the last byte alone
}

// A 20-byte IPv4 header, then 12 ICMP bytes: type, code, checksum, identifier, sequence, time.
Bytes Reply(uint8_t type, uint16_t id, uint32_t sent) {
    Bytes d(20, 0);
    d[0] = 0x45;
    const Bytes icmp = {type, 0, 0, 0, uint8_t(id), uint8_t(id >> 8), 0, 0, uint8_t(sent), uint8_t(sent >> 8),
                        uint8_t(sent >> 16), uint8_t(sent >> 24)};
    d.insert(d.end(), icmp.begin(), icmp.end());
    return d;
}

std::string Analyse(const Bytes& d, uint32_t now, bool withIpHeader = true) {
    return AnalyseEchoReply(d.data(), d.size(), withIpHeader, 0x1234, now);
}

TEST(Icmp, ReplyAnalysis) {
    const Bytes ours = Reply(0, 0x1234, 1000);
    EXPECT_EQ(Analyse(ours, 1012), "12ms");
    EXPECT_EQ(Analyse(Reply(0, 0x1234, 0xFFFFFFF0u), 0x10), "32ms");  // tick wrapped
    EXPECT_EQ(Analyse({ours.begin() + 20, ours.end()}, 1005, false), "5ms");  // ping socket: no IP header

    EXPECT_EQ(Analyse(Reply(0, 0x4321, 1000), 1012), "???");
    EXPECT_EQ(Analyse(Reply(3, 0x1234, 1000), 1012), "no echo");

    // Too short for the header and 12 ICMP bytes: never read past the end.
    EXPECT_EQ(Analyse({ours.begin(), ours.end() - 1}, 1012), "no echo");
    Bytes longHeader = ours;
    longHeader[0] = 0x4F;  // a 60-byte header in a 32-byte datagram
    EXPECT_EQ(Analyse(longHeader, 1012), "no echo");
}

}  // namespace
