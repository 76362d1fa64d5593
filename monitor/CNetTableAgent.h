#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "monitor/ConnectionRecord.h"
#include "platform/SnmpTypes.h"

// The agent library beside the running executable.
std::string DefaultAgentLibraryPath();

// Reads the machine's TCP and UDP tables through the MIB-II extension agent into at
// most MAX_CONNECTIONS records, TCP rows first. Where the agent serves the tables of
// both families with the owning process (tcpConnectionTable, tcpListenerTable,
// udpEndpointTable), those are read and each row names its program; an agent that
// serves only tcpConnTable and udpTable is read through those.
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
    // Whether the last read came from the tables of both families, which carry the
    // owning process.
    bool ReadBothFamilies() const { return bothFamilies_; }
    // Whether the last read stopped at the bound, leaving any further rows unread.
    bool ReachedLimit() const { return reachedLimit_; }
    // Reads tcpConnTable and udpTable alone, even from an agent that serves both
    // families: what those tables hold, as an agent of another make would serve them.
    void SetOlderTablesOnly(bool only) { olderTablesOnly_ = only; }
    // The bound of a read: MAX_CONNECTIONS, lower only in tests (clamped to 1..MAX_CONNECTIONS).
    void SetRecordLimit(int limit);

    char errorText[80];
    // The newest table, recordCount entries; grows with the tables up to the bound.
    std::vector<ConnectionRecord> records;

private:
    struct InetWalk;
    int ReadMib2Tables();
    int ReadInetTables(bool& served);
    int WalkInetTable(InetWalk& walk, bool& served);
    void AddRow(InetWalk& walk, const ConnectionRecord& record, const uint32_t* key, uint32_t keyLength);
    bool ListenerBefore(size_t listener, const uint32_t* key, uint32_t keyLength) const;
    void SetOwner(ConnectionRecord& record, bool processRead, uint32_t pid);
    bool ProgramName(uint32_t pid, char (&out)[PROGRAM_NAME_SIZE]);
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

    // Program names by PID, kept while the PID is in the tables: a PID that comes back
    // after a read without it is asked again, so a reused PID gets its new name.
    struct CachedName {
        char name[PROGRAM_NAME_SIZE];
        bool found;
        uint32_t read;
    };
    std::unordered_map<uint32_t, CachedName> names_;
    uint32_t readNumber_ = 0;
    // The listeners of the read under way with their indexes (offset and length in
    // listenerKeys_), waiting for their place among the connections; where each placed
    // one went, and the next to place.
    std::vector<ConnectionRecord> listeners_;
    std::vector<uint32_t> listenerKeys_;
    std::vector<std::pair<uint32_t, uint32_t>> listenerKeyAt_;
    std::vector<size_t> listenersPlaced_;
    size_t nextListener_ = 0;
    bool bothFamilies_ = false;
    bool olderTablesOnly_ = false;

    int recordLimit_ = MAX_CONNECTIONS;
    bool reachedLimit_ = false;
    std::string libraryPath_;  // empty for an agent given by its entry points
};
