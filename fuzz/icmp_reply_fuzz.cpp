// The datagram a ping reads back, with or without its IP header, judged against a
// request: a verdict, a reply only when the request's bytes come back, and no byte
// past the datagram is read.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "friends/Icmp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const bool withIpHeader = input.ConsumeBool();
    const uint16_t identifier = input.ConsumeIntegral<uint16_t>();
    const uint32_t sent = input.ConsumeIntegral<uint32_t>();
    const uint32_t from = input.ConsumeIntegral<uint32_t>();
    const uint32_t to = input.ConsumeBool() ? from : input.ConsumeIntegral<uint32_t>();
    const EchoRequest request = BuildEchoRequest(identifier, sent);
    // A block of exactly the datagram's length, so ASan sees any read past its end.
    const std::vector<uint8_t> datagram = input.ConsumeRemainingBytes<uint8_t>();
    const EchoVerdict verdict = JudgeEchoDatagram(datagram.data(), datagram.size(), withIpHeader, from, to, request);
    if (verdict == EchoVerdict::Reply || verdict == EchoVerdict::Foreign) FUZZ_CHECK(from == to);
    if (verdict == EchoVerdict::Reply) {
        const size_t header = withIpHeader ? static_cast<size_t>(datagram[0] & 0x0F) * 4 : 0;
        FUZZ_CHECK(std::memcmp(&datagram[header + 4], &request[4], 8) == 0);
    }
    (void)InternetChecksum(datagram.data(), datagram.size());
    return 0;
}
