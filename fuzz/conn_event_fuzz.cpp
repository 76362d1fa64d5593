// The connection-event text: what is accepted must be a well-formed event, and its
// history line must come out whole.
#include <cstring>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "monitor/ConnectionHistory.h"
#include "platform/TextUtil.h"

namespace {

// Names of every length up to the longest, so the line's widest form is reached.
const CPortNameTable& PortNames() {
    static MemoryFile file;
    static const std::unique_ptr<CPortNameTable> table = [] {
        static const char kServices[] =
            "http 80/tcp\n"
            "abcdefghijklmnopqrstuvw 443/tcp\n"
            "x 0/udp\n"
            "last 65535/tcp\n";
        file.Set(reinterpret_cast<const uint8_t*>(kServices), sizeof kServices - 1);
        auto loaded = std::make_unique<CPortNameTable>(file.Path(), "");
        loaded->SetShowNames(1);
        return loaded;
    }();
    return *table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    ConnEvent event;
    std::memset(&event, 0x5A, sizeof event);
    const ConnEvent untouched = event;
    if (!ParseConnEvent(text, event)) {
        FUZZ_CHECK(std::memcmp(&event, &untouched, sizeof event) == 0);
        return 0;
    }
    FUZZ_CHECK(event.letter == 'C' || event.letter == 'D');
    FUZZ_CHECK(std::memchr(event.remoteAddress, '\0', sizeof event.remoteAddress) != nullptr);
    FUZZ_CHECK(IsDottedIPv4(event.remoteAddress));
    FUZZ_CHECK(event.remotePort >= 0 && event.remotePort <= 65535);
    FUZZ_CHECK(event.localPort >= 0 && event.localPort <= 65535);
    (void)IsIgnoredPort(IgnoreFlags{}, event.remotePort);

    const LocalTime stamp{2024, 12, 31, 23, 59, 59};
    const std::string line = FormatHistoryLine(stamp, event, PortNames());
    FUZZ_CHECK(IsValidUtf8(line));
    FUZZ_CHECK(line.find(event.remoteAddress) != std::string::npos);
    return 0;
}
