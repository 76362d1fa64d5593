#pragma once
#include <cstddef>
#include <string>
#include <vector>

// The friend list between runs: one dotted address per line, in the working directory.
inline constexpr const char* FRIEND_FILE_NAME = "FRIEND.INI";

// A list longer than this is no list of friends; reading stops there.
inline constexpr size_t MAX_FRIENDS = 10000;

// The file's lines in file order, the first MAX_FRIENDS of them; leftOut (when given)
// says whether more followed. Lines are taken in reads of at most 79 bytes, so a longer
// line comes back as several entries; the line end (LF or CR LF) is dropped and a last
// line without one is kept whole. A missing or unreadable file, or anything but a
// regular file by that name, gives an empty list.
std::vector<std::string> ReadFriendFile(const std::string& path, bool* leftOut = nullptr);

// Replaces the file with the entries, one per line; an empty list deletes it. The new
// content goes to a fresh file beside it that is then renamed over it, so on false
// (read-only directory, disk full) the old file is still there as it was.
bool WriteFriendFile(const std::string& path, const std::vector<std::string>& entries);
