#include "ports/CPortNameTable.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_set>

#include "messaging/PeerConstants.h"
#include "platform/FileUtil.h"
#include "platform/TextUtil.h"

namespace {

// Lines are taken in pieces that fit a 160-byte buffer, as the file was always read:
// the rest of a longer line is judged as a line of its own.
constexpr int LINE_BUFFER_SIZE = 160;

// Hands out the text in pieces of at most 159 characters, each ending after a line
// feed when one comes first. CR LF reads as LF, so a file written on Windows splits the
// same way.
class PieceReader {
public:
    explicit PieceReader(const std::string& text) : p_(text.data()), end_(text.data() + text.size()) {}

    bool Next(char (&buf)[LINE_BUFFER_SIZE]) {
        int length = 0;
        while (length < LINE_BUFFER_SIZE - 1 && p_ < end_) {
            char c = *p_++;
            if (c == '\r' && p_ < end_ && *p_ == '\n') c = *p_++;
            buf[length++] = c;
            if (c == '\n') break;
        }
        buf[length] = '\0';
        return length > 0;
    }

private:
    const char* p_;
    const char* end_;
};

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsEntryLine(const char* line) { return IsAsciiLetter(line[0]); }

}  // namespace

bool ParseServiceLine(const char* line, ServiceEntry& out) {
    if (!IsEntryLine(line)) return false;
    const char* slash = std::strchr(line, '/');
    if (!slash) return false;
    auto at = [&](const char* p) { return p == slash ? ' ' : *p; };

    ServiceEntry entry{};
    const char* p = line;
    int nameLength = 0;
    for (; *p && !IsBlank(at(p)); ++p)
        if (nameLength < SERVICE_NAME_MAX) entry.name[nameLength++] = *p;
    entry.name[nameLength] = '\0';

    while (*p && IsBlank(at(p))) ++p;
    // A port that does not fit 32 bits gives no entry rather than a wrapped number.
    const std::string_view rest(p);
    size_t used = 0;
    int64_t value;
    if (!ReadDecimal(rest, used, DecimalRule{INT32_MIN, INT32_MAX, true, false, 0}, value)) return false;
    entry.port = static_cast<int32_t>(value);
    p += used;

    while (*p && IsBlank(at(p))) ++p;
    entry.protocolLetter = *p;
    out = entry;
    return true;
}

CPortNameTable::CPortNameTable() : CPortNameTable(LOCAL_SERVICES_FILE, SYSTEM_SERVICES_FILE) {}

CPortNameTable::CPortNameTable(const std::string& localPath, const std::string& systemPath,
                               ServicesFileLimits limits) {
    LoadServicesFile(localPath, limits);
    if (entries_.empty()) LoadServicesFile(systemPath, limits);
}

CPortNameTable::~CPortNameTable() = default;

void CPortNameTable::LoadServicesFile(const std::string& path, const ServicesFileLimits& limits) {
    entries_.clear();
    firstEntry_.clear();
    // A FIFO or a device by that name counts as missing: it could block or never end.
    std::string text;
    bool cut = false;
    if (!ReadRegularFile(path, limits.maxBytes, text, &cut)) return;
    if (cut) {
        const size_t lastLineEnd = text.rfind('\n');
        text.erase(lastLineEnd == std::string::npos ? 0 : lastLineEnd + 1);
    }

    try {
        PieceReader pieces(text);
        char piece[LINE_BUFFER_SIZE];
        int entryLines = 0;
        // Lines without a port give no entry, so there may be fewer entries than lines.
        while (entryLines < limits.maxEntryLines && pieces.Next(piece)) {
            if (!IsEntryLine(piece)) continue;
            ++entryLines;
            ServiceEntry entry;
            if (ParseServiceLine(piece, entry)) entries_.push_back(entry);
        }
        firstEntry_.reserve(std::min<size_t>(entries_.size(), 65536));
        for (size_t i = 0; i < entries_.size(); ++i)
            firstEntry_.emplace(entries_[i].port, static_cast<int32_t>(i));  // keeps the first
    } catch (const std::bad_alloc&) {
        entries_.clear();
        firstEntry_.clear();
    }
}

void CPortNameTable::GetPortName(int port, char* output) const {
    if (showNames_ != 0 && !entries_.empty()) {
        if (port == PEER_MESSAGE_PORT) {
            std::snprintf(output, PORT_NAME_SIZE, "%s", "Tolvara");
            return;
        }
        const auto found = firstEntry_.find(port);
        if (found != firstEntry_.end()) {
            std::snprintf(output, PORT_NAME_SIZE, "%s", entries_[static_cast<size_t>(found->second)].name);
            return;
        }
    }
    std::snprintf(output, PORT_NAME_SIZE, "%d", port);
}

std::string CPortNameTable::PortName(int port) const {
    char buf[PORT_NAME_SIZE];
    GetPortName(port, buf);
    return buf;
}

ServicePortIndex::ServicePortIndex(const CPortNameTable& table) {
    ports_.emplace("Tolvara", PEER_MESSAGE_PORT);
    std::unordered_set<int32_t> shown;
    for (int i = 0; i < table.EntryCount(); ++i) {
        const ServiceEntry& e = table.Entries()[i];
        // Only the first entry of a port is ever shown, and never one for our own port.
        if (e.port < 0 || e.port > 65535 || e.port == PEER_MESSAGE_PORT || !shown.insert(e.port).second)
            continue;
        ports_.emplace(e.name, e.port);  // a name shown for two ports keeps the first
    }
}

int ServicePortIndex::PortOf(std::string_view written) const {
    size_t pos = 0;
    int64_t number;
    if (!written.empty() && (written[0] != '0' || written.size() == 1) &&
        ReadDecimal(written, pos, DecimalRule{0, 65535, false, false, 5}, number) && pos == written.size())
        return static_cast<int>(number);
    const auto found = ports_.find(std::string(written));
    return found == ports_.end() ? -1 : found->second;
}
