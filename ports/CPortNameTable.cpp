#include "ports/CPortNameTable.h"

#include <climits>
#include <cstring>
#include <new>

#include "messaging/PeerConstants.h"
#include "platform/TextUtil.h"

namespace {

// Lines are taken in pieces that fit a 160-byte buffer, as the file was always read:
// the rest of a longer line is judged as a line of its own.
constexpr int LINE_BUFFER_SIZE = 160;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Reads one piece of at most 159 characters, ending after a line feed when one comes
// first. CR LF reads as LF, so a file written on Windows splits the same way.
bool ReadPiece(std::FILE* file, char (&buf)[LINE_BUFFER_SIZE]) {
    int length = 0;
    while (length < LINE_BUFFER_SIZE - 1) {
        int c = std::getc(file);
        if (c == EOF) break;
        if (c == '\r') {
            int next = std::getc(file);
            if (next == '\n') {
                c = '\n';
            } else if (next != EOF) {
                std::ungetc(next, file);
            }
        }
        buf[length++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buf[length] = '\0';
    return length > 0;
}

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

CPortNameTable::CPortNameTable(const std::string& localPath, const std::string& systemPath) {
    LoadServicesFile(localPath);
    if (!entries_) LoadServicesFile(systemPath);
}

CPortNameTable::~CPortNameTable() = default;

int CPortNameTable::CountEntryLines(std::FILE* file) const {
    char piece[LINE_BUFFER_SIZE];
    int count = 0;
    while (ReadPiece(file, piece))
        if (IsEntryLine(piece) && count < INT_MAX) ++count;
    return count;
}

int CPortNameTable::ReadEntries(std::FILE* file, int limit) {
    char piece[LINE_BUFFER_SIZE];
    int seen = 0;
    int stored = 0;
    // The file may have grown since it was counted; the array holds `limit` entries.
    while (seen < limit && ReadPiece(file, piece)) {
        if (!IsEntryLine(piece)) continue;
        ++seen;
        if (ParseServiceLine(piece, entries_[stored])) ++stored;
    }
    return stored;
}

void CPortNameTable::LoadServicesFile(const std::string& path) {
    entries_.reset();
    entryCount_ = 0;
    FilePtr file(std::fopen(path.c_str(), "r"));
    if (!file) return;

    const int counted = CountEntryLines(file.get());
    if (counted == 0) return;
    entries_.reset(new (std::nothrow) ServiceEntry[static_cast<size_t>(counted)]);
    if (!entries_) return;
    std::rewind(file.get());

    const int stored = ReadEntries(file.get(), counted);
    // A file whose entry lines all lack a port counts as empty, so the fallback applies.
    if (stored == 0) {
        entries_.reset();
        return;
    }
    entryCount_ = stored;
}

void CPortNameTable::GetPortName(int port, char* output) const {
    if (showNames_ != 0 && entryCount_ != 0) {
        if (port == PEER_MESSAGE_PORT) {
            std::snprintf(output, PORT_NAME_SIZE, "%s", "Tolvara");
            return;
        }
        for (int i = 0; i < entryCount_; ++i) {
            if (entries_[i].port == port) {
                std::snprintf(output, PORT_NAME_SIZE, "%s", entries_[i].name);
                return;
            }
        }
    }
    std::snprintf(output, PORT_NAME_SIZE, "%d", port);
}

std::string CPortNameTable::PortName(int port) const {
    char buf[PORT_NAME_SIZE];
    GetPortName(port, buf);
    return buf;
}
