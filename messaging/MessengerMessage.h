#pragma once
// The Messenger message: sender, recipient and text joined by NUL bytes, in CP949, as
// the mailslot carries it; and the box text a received one is shown with.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/LocalTime.h"

inline constexpr const char* MESSENGER_BOX_TITLE = "Windows 메시지 서비스";
// A message and a box text each fill at most a 1,024-byte buffer with its NUL.
inline constexpr size_t MESSENGER_TEXT_MAX = 1023;

// "%s\t%s\t%s" of the three CP949 parts, cut to 1,023 bytes on a character boundary,
// then every tab (those inside the parts too) turned into a NUL. No NUL ends it.
std::string FormMessengerMessage(std::string_view sender, std::string_view recipient, std::string_view text);

struct MessengerParts {
    std::string_view sender;
    std::string_view recipient;
    std::string_view text;
};
// Split at the first two NULs; the text ends at the next NUL, so a message that carries
// a closing NUL reads the same. A part the message ends before is empty.
MessengerParts SplitMessengerMessage(std::string_view message);

// The box text in UTF-8 for a received message, cut where its CP949 form passes 1,023
// bytes; nothing when the sender is empty (the message is dropped unseen).
std::optional<std::string> FormatMessengerBoxText(const LocalTime& now, std::string_view message);
