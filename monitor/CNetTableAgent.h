#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "monitor/ConnectionRecord.h"
#include "platform/SnmpTypes.h"

// The agent library beside the running executable.
std::string DefaultAgentLibraryPath();

// Reads the TCP connection table and the UDP listener table through the MIB-II
// extension agent into at most MAX_CONNECTIONS records, TCP rows first.
class CNetTableAgent {
public:
    explicit CNetTableAgent(std::string libraryPath = DefaultAgentLibraryPath());
    // An agent given by its entry points instead of a library (tests script it).
    CNetTableAgent(SnmpExtensionInitFn init, SnmpExtensionQueryFn query);
    virtual ~CNetTableAgent();
    CNetTableAgent(const CNetTableAgent&) = delete;
    CNetTableAgent& operator=(const CNetTableAgent&) = delete;

    // Loads the library and starts the agent; true when it can be used.
    bool Initialize();
    // 0 when both tables were read to their end, -1 when a request failed (errorText
    // then names the last failure). records hold what was read either way.
    int ReadTables();
    int GetRecordCount() const { return recordCount; }
    // Whether the last read stopped at the bound, leaving any further rows unread.
    bool ReachedLimit() const { return reachedLimit_; }
    // The bound of a read: MAX_CONNECTIONS, lower only in tests (clamped to 1..MAX_CONNECTIONS).
    void SetRecordLimit(int limit);

    char errorText[80];
    // The newest table, recordCount entries; grows with the tables up to the bound.
    std::vector<ConnectionRecord> records;

private:
    bool DecodeRow(const SnmpVarBind& walked, const char* protocol);
    void WriteError(AsnInteger32 status, AsnInteger32 index);
    static void MakeOid(AsnObjectIdentifier& oid, uint32_t n, const uint32_t* ids);
    static void FreeVarBind(SnmpVarBind& varbind);

    // The bindings of a row's GET, kept from row to row: their names are rewritten in
    // place, so a row costs no allocation of its own.
    SnmpVarBind rowBindings_[5]{};

    void* library = nullptr;
    int32_t recordCount = 0;
    SnmpExtensionInitFn SnmpExtensionInit = nullptr;
    SnmpExtensionQueryFn SnmpExtensionQuery = nullptr;
    void* trapEvent = nullptr;

    int recordLimit_ = MAX_CONNECTIONS;
    bool reachedLimit_ = false;
    std::string libraryPath_;  // empty for an agent given by its entry points
};
