#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ports/ServiceEntry.h"

inline constexpr const char* LOCAL_SERVICES_FILE = "services";
inline constexpr const char* SYSTEM_SERVICES_FILE = "/etc/services";
// Room a caller of GetPortName provides: the longest name and its NUL.
inline constexpr int PORT_NAME_SIZE = 24;

// How much of a services file is read. A system's file is a few KiB; the bounds keep
// a huge or endless one from stalling start-up or filling memory. Lines beyond either
// bound are left out (a line the byte bound cuts included), so the ports only they
// name show as numbers.
struct ServicesFileLimits {
    size_t maxBytes = 8u << 20;   // 8 MiB
    int maxEntryLines = 500000;
};

// Port numbers to service names, from the working directory's "services" file or,
// when that gives nothing, the system's one. Only regular files are read.
class CPortNameTable {
public:
    // Loads "services" from the current directory, else /etc/services.
    CPortNameTable();
    // Loads localPath, else systemPath.
    CPortNameTable(const std::string& localPath, const std::string& systemPath, ServicesFileLimits limits = {});
    virtual ~CPortNameTable();

    CPortNameTable(const CPortNameTable&) = delete;
    CPortNameTable& operator=(const CPortNameTable&) = delete;

    void SetShowNames(int showNames) { showNames_ = showNames; }
    int ShowNames() const { return showNames_; }

    // Writes a NUL-terminated text of at most 23 characters into output (24 bytes):
    // the program's name for its message port, the name of the first entry in file
    // order with that port, or the number.
    void GetPortName(int port, char* output) const;
    std::string PortName(int port) const;

    int EntryCount() const { return static_cast<int>(entries_.size()); }
    // In file order; null when nothing was loaded.
    const ServiceEntry* Entries() const { return entries_.empty() ? nullptr : entries_.data(); }

private:
    void LoadServicesFile(const std::string& path, const ServicesFileLimits& limits);

    int showNames_ = 0;
    std::vector<ServiceEntry> entries_;
    // Port to the position of its first entry: a lookup per port shown costs the same
    // whatever the size of the file.
    std::unordered_map<int32_t, int32_t> firstEntry_;
};

// Port names as GetPortName writes them with names shown, back to their numbers.
class ServicePortIndex {
public:
    explicit ServicePortIndex(const CPortNameTable& table);
    // The port a written name stands for: a decimal number as "%d" writes it, the
    // program's name for its message port, or the name the table shows for a port;
    // -1 when it is none of these.
    int PortOf(std::string_view written) const;

private:
    std::unordered_map<std::string, int> ports_;
};

// Splits a services-file line into an entry; false for a line that gives none
// (not starting with a letter, no '/', no port number).
bool ParseServiceLine(const char* line, ServiceEntry& out);
