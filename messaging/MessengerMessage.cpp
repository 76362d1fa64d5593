#include "messaging/MessengerMessage.h"

#include <algorithm>
#include <cstdio>

#include "platform/TextUtil.h"

namespace {

std::string_view UpToNul(std::string_view text) { return text.substr(0, text.find('\0')); }

}  // namespace

std::string FormMessengerMessage(std::string_view sender, std::string_view recipient, std::string_view text) {
    std::string message;
    message.reserve(sender.size() + recipient.size() + text.size() + 2);
    message.append(sender).append(1, '\t').append(recipient).append(1, '\t').append(text);
    // Cut whole characters only, so a receiver never sees half of one.
    message.resize(Cp949PrefixLength(message, MESSENGER_TEXT_MAX));
    std::replace(message.begin(), message.end(), '\t', '\0');
    return message;
}

MessengerParts SplitMessengerMessage(std::string_view message) {
    MessengerParts parts;
    parts.sender = UpToNul(message);
    if (parts.sender.size() == message.size()) return parts;
    message.remove_prefix(parts.sender.size() + 1);
    parts.recipient = UpToNul(message);
    if (parts.recipient.size() == message.size()) return parts;
    message.remove_prefix(parts.recipient.size() + 1);
    parts.text = UpToNul(message);
    return parts;
}

std::optional<std::string> FormatMessengerBoxText(const LocalTime& now, std::string_view message) {
    const MessengerParts parts = SplitMessengerMessage(message);
    if (parts.sender.empty()) return std::nullopt;
    char stamp[96];
    std::snprintf(stamp, sizeof stamp, "%d년 %d월 %d일 %02d:%02d:%02d에 ", now.year, now.month, now.day, now.hour,
                  now.minute, now.second);
    // Built in CP949, the form the 1,024-byte buffer held, so the cut falls where it did.
    std::string box = Utf8ToCp949(stamp);
    box.append(parts.sender).append(Utf8ToCp949("이(가) "));
    box.append(parts.recipient).append(Utf8ToCp949("에게 보낸 메시지\n\n "));
    box.append(parts.text);
    box.resize(Cp949PrefixLength(box, MESSENGER_TEXT_MAX));
    return Cp949ToUtf8(box);
}
