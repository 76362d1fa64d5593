// The datagram a ping reads back, with or without its IP header: the result word is
// one of the three, and no byte past the datagram is read.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "friends/Icmp.h"

namespace {

bool IsMilliseconds(const std::string& word) {
    if (word.size() < 3 || word.compare(word.size() - 2, 2, "ms") != 0) return false;
    size_t i = word[0] == '-' ? 1 : 0;
    if (i + 2 >= word.size()) return false;
    for (; i + 2 < word.size(); ++i)
        if (word[i] < '0' || word[i] > '9') return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const bool withIpHeader = input.ConsumeBool();
    const uint16_t identifier = input.ConsumeIntegral<uint16_t>();
    const uint32_t now = input.ConsumeIntegral<uint32_t>();
    // A block of exactly the datagram's length, so ASan sees any read past its end.
    const std::vector<uint8_t> datagram = input.ConsumeRemainingBytes<uint8_t>();
    const std::string word = AnalyseEchoReply(datagram.data(), datagram.size(), withIpHeader, identifier, now);
    FUZZ_CHECK(word == PING_NO_ECHO || word == PING_FOREIGN || IsMilliseconds(word));
    (void)InternetChecksum(datagram.data(), datagram.size());
    return 0;
}
