// The mailslot message: its three parts, the box a received one is shown in, and the
// message a reply would be built from those parts.
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "messaging/MessengerMessage.h"
#include "platform/TextUtil.h"

namespace {

bool Inside(std::string_view part, std::string_view whole) {
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string message(reinterpret_cast<const char*>(data), size);
    const MessengerParts parts = SplitMessengerMessage(message);
    for (std::string_view part : {parts.sender, parts.recipient, parts.text}) {
        FUZZ_CHECK(Inside(part, message));
        FUZZ_CHECK(part.find('\0') == std::string_view::npos);
    }

    const auto box = FormatMessengerBoxText(LocalTime{2024, 1, 2, 3, 4, 5}, message);
    FUZZ_CHECK(box.has_value() == !parts.sender.empty());
    if (box) FUZZ_CHECK(IsValidUtf8(*box));

    const std::string reply = FormMessengerMessage(parts.recipient, parts.sender, parts.text);
    FUZZ_CHECK(reply.size() <= MESSENGER_TEXT_MAX);
    FUZZ_CHECK(Cp949PrefixLength(reply, MESSENGER_TEXT_MAX) == reply.size());
    FUZZ_CHECK(reply.find('\t') == std::string::npos);
    return 0;
}
