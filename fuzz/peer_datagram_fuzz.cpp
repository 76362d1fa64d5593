// The peer datagram: what a received one yields, the box it is shown in, and the
// datagram the program would send back with that text.
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "messaging/PeerProtocol.h"
#include "platform/TextUtil.h"

namespace {

void CheckSendable(std::string_view utf8) {
    const std::string datagram = FormatPeerDatagram(utf8);
    FUZZ_CHECK(datagram.size() <= 1024 && datagram.back() == '\0');
    FUZZ_CHECK(ParsePeerDatagram(datagram).has_value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto text = ParsePeerDatagram(bytes);
    if (text) {
        FUZZ_CHECK(IsValidUtf8(*text));
        (void)IsConfirmationText(*text);
        const std::string box = FormatPeerBoxText(LocalTime{2024, 1, 2, 3, 4, 5}, "255.255.255.255", *text);
        FUZZ_CHECK(IsValidUtf8(box));
        FUZZ_CHECK(Utf8ToCp949(box).size() <= 1023);
        CheckSendable(*text);
    }
    // Typed text reaches the sender unchecked, so any bytes must still make a datagram.
    CheckSendable(bytes);
    return 0;
}
