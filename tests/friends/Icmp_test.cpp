// The echo request's bytes and the reading of what comes back (little-endian host).
#include "friends/Icmp.h"

#include <gtest/gtest.h>

#include <cstring>
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

constexpr uint32_t kPinged = 0x0200007F, kOther = 0x0300007F;  // 127.0.0.2 and .3, network order

// Type 0 with the request's bytes (a reply), or type 3 quoting an IPv4 header to
// `sentTo` and the request's first `quoted` bytes (an error); behind an IPv4 header.
Bytes About(const EchoRequest& request, bool error = false, uint32_t sentTo = kPinged, size_t quoted = 44) {
    Bytes ip(20, 0);
    ip[0] = 0x45;
    ip[9] = 1;
    std::memcpy(&ip[16], &sentTo, 4);
    Bytes d = ip;
    if (error) {
        d.insert(d.end(), {3, 1, 0, 0, 0, 0, 0, 0});
        d.insert(d.end(), ip.begin(), ip.end());
    }
    d.insert(d.end(), request.begin(), request.begin() + static_cast<long>(quoted));
    if (!error) d[20] = ICMP_TYPE_ECHO_REPLY;
    return d;
}

EchoVerdict Judge(const Bytes& d, uint32_t from, const EchoRequest& request) {
    return JudgeEchoDatagram(d.data(), d.size(), true, from, kPinged, request);
}

TEST(Icmp, OnlyWhatIsAboutThisRequestCounts) {
    const EchoRequest ours = BuildEchoRequest(0x1234, 1000), earlier = BuildEchoRequest(0x1234, 1000 - 1500);
    // Replies are judged for real in the namespace tests; other messages from the pinged
    // address, and errors, here.
    Bytes timestamp = About(ours);
    timestamp[20] = 14;
    EXPECT_EQ(Judge(timestamp, kPinged, ours), EchoVerdict::NoEcho);
    EXPECT_EQ(Judge(timestamp, kOther, ours), EchoVerdict::Skip);
    // An error from anywhere counts when it quotes this request to this address, by its
    // first 8 bytes at least (their checksum covers the send time).
    EXPECT_EQ(Judge(About(ours, true, kPinged, 8), kOther, ours), EchoVerdict::NoEcho);
    EXPECT_EQ(Judge(About(ours, true, kOther), kPinged, ours), EchoVerdict::Skip);
    EXPECT_EQ(Judge(About(earlier, true, kPinged, 8), kPinged, ours), EchoVerdict::Skip);
    EXPECT_EQ(Judge(About(ours, true, kPinged, 7), kPinged, ours), EchoVerdict::Skip);
    // A header longer than the datagram: never read past the end.
    Bytes longHeader = About(ours);
    longHeader[0] = 0x4F;
    longHeader.resize(32);
    EXPECT_EQ(Judge(longHeader, kPinged, ours), EchoVerdict::Skip);
}

}  // namespace
