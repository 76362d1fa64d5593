// The friend file as a hand editor or another copy may have left it: every entry is one
// line's piece of at most 79 bytes, and nothing of the file is lost but line ends and
// what follows a NUL within a line.
#include <string>

#include "FuzzSupport.h"
#include "friends/FriendFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemoryFile file;
    file.Set(data, size);
    size_t total = 0;
    for (const std::string& entry : ReadFriendFile(file.Path())) {
        FUZZ_CHECK(entry.size() <= 79);
        FUZZ_CHECK(entry.find('\n') == std::string::npos && entry.find('\0') == std::string::npos);
        total += entry.size();
    }
    FUZZ_CHECK(total <= size);
    return 0;
}
