#pragma once
#include <cstdio>
#include <memory>
#include <string>

#include "ports/ServiceEntry.h"

inline constexpr const char* LOCAL_SERVICES_FILE = "services";
inline constexpr const char* SYSTEM_SERVICES_FILE = "/etc/services";
// Room a caller of GetPortName provides: the longest name and its NUL.
inline constexpr int PORT_NAME_SIZE = 24;

// Port numbers to service names, from the working directory's "services" file or,
// when that gives nothing, the system's one.
class CPortNameTable {
public:
    // Loads "services" from the current directory, else /etc/services.
    CPortNameTable();
    // Loads localPath, else systemPath.
    CPortNameTable(const std::string& localPath, const std::string& systemPath);
    virtual ~CPortNameTable();

    CPortNameTable(const CPortNameTable&) = delete;
    CPortNameTable& operator=(const CPortNameTable&) = delete;

    void SetShowNames(int showNames) { showNames_ = showNames; }
    int ShowNames() const { return showNames_; }

    // Writes a NUL-terminated text of at most 23 characters into output (24 bytes):
    // the program's name for its message port, the service name, or the number.
    void GetPortName(int port, char* output) const;
    std::string PortName(int port) const;

    int EntryCount() const { return entryCount_; }
    // Null when nothing was loaded.
    const ServiceEntry* Entries() const { return entries_.get(); }

private:
    void LoadServicesFile(const std::string& path);
    int CountEntryLines(std::FILE* file) const;
    int ReadEntries(std::FILE* file, int limit);

    int showNames_ = 0;
    std::unique_ptr<ServiceEntry[]> entries_;
    int entryCount_ = 0;
};

// Splits a services-file line into an entry; false for a line that gives none
// (not starting with a letter, no '/', no port number).
bool ParseServiceLine(const char* line, ServiceEntry& out);
