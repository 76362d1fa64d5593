// The services file: every line through ParseServiceLine, then the whole input loaded
// as the file and looked up. A lookup must give the first entry of that port in file
// order, however the table finds it.
#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "messaging/PeerConstants.h"
#include "ports/CPortNameTable.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

void CheckLine(const std::string& line) {
    ServiceEntry entry;
    std::memset(&entry, 0x5A, sizeof entry);
    if (!ParseServiceLine(line.c_str(), entry)) return;
    const size_t length = strnlen(entry.name, sizeof entry.name);
    FUZZ_CHECK(length > 0 && length <= SERVICE_NAME_MAX);
    for (size_t i = 0; i < length; ++i) FUZZ_CHECK(!IsBlank(entry.name[i]) && entry.name[i] != '/');
}

// What a lookup must answer, found the slow way.
std::string Expected(const CPortNameTable& table, int port) {
    if (table.ShowNames() == 0 || table.EntryCount() == 0) return std::to_string(port);
    if (port == PEER_MESSAGE_PORT) return "Tolvara";
    for (int i = 0; i < table.EntryCount(); ++i)
        if (table.Entries()[i].port == port) return table.Entries()[i].name;
    return std::to_string(port);
}

void CheckLookup(const CPortNameTable& table, int port) {
    char name[PORT_NAME_SIZE];  // exactly the room callers give, so ASan sees an overrun
    table.GetPortName(port, name);
    FUZZ_CHECK(std::memchr(name, '\0', sizeof name) != nullptr);
    FUZZ_CHECK(Expected(table, port) == name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0; start <= text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        CheckLine(std::string(text.substr(start, end - start)));
        start = end + 1;
    }

    static MemoryFile file;
    file.Set(data, size);
    CPortNameTable table(file.Path(), "");
    FUZZ_CHECK(table.EntryCount() >= 0 && (table.EntryCount() == 0) == (table.Entries() == nullptr));
    for (int show = 0; show <= 1; ++show) {
        table.SetShowNames(show);
        const int checked = std::min(table.EntryCount(), 64);
        for (int i = 0; i < checked; ++i) CheckLookup(table, table.Entries()[i].port);
        for (int port : {0, 1, 80, 65535, PEER_MESSAGE_PORT, -1, INT32_MIN, INT32_MAX}) CheckLookup(table, port);
    }
    return 0;
}
