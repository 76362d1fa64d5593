#pragma once
// A network agent scripted in memory: the MIB view it serves, every request it saw,
// and outcomes forced on chosen requests. Tests hand FakeAgentInit/FakeAgentQuery to
// CNetTableAgent (or to the main window's options) in place of the library.
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "monitor/ConnectionRecord.h"
#include "platform/SnmpTypes.h"

using Oid = std::vector<uint32_t>;

struct FakeValue {
    uint8_t type = ASN_NULL;
    int32_t number = 0;
    std::vector<uint8_t> bytes;
};

// An outcome forced on one request: the return value, status and index.
struct FakeForced {
    bool returned;
    AsnInteger32 status;
    AsnInteger32 index;
};

struct FakeRequest {
    uint8_t pdu;
    std::vector<Oid> names;
};

struct FakeAgent {
    std::map<Oid, FakeValue> view;
    // Served beside the view, as a real agent would hold them: TCP rows in
    // tcpConnTable, UDP rows in udpTable, each by its MIB index.
    std::vector<ConnectionRecord> records;
    // Also serve the records in the tables of both families (tcpConnectionTable,
    // tcpListenerTable, udpEndpointTable) with each record's pid as its process, and
    // these program names in hrSWRunName.
    bool bothFamilies = false;
    std::map<uint32_t, std::string> programs;
    std::vector<FakeRequest> requests;
    // Looked at before each request; a value forces that request's outcome.
    std::function<std::optional<FakeForced>(const FakeRequest&, size_t number)> force;
    // Every request fails with genErr at index 1, as a broken agent's would.
    bool failEveryRequest = false;
    // When set, GETNEXT answers with this name and value whatever it was asked.
    std::optional<std::pair<Oid, FakeValue>> stuckNext;
    int32_t initResult = 1;
    uint32_t uptimeSeen = 0;

    void AddTcp(int32_t state, std::array<uint8_t, 4> local, int32_t lport, std::array<uint8_t, 4> remote,
                int32_t rport);
    void AddUdp(std::array<uint8_t, 4> local, int32_t port);
    // Table reads started: GETNEXT requests for tcpConnTable itself.
    int Reads() const;
};

inline const Oid kTcpConnEntry = {1, 3, 6, 1, 2, 1, 6, 13, 1};
inline const Oid kUdpEntry = {1, 3, 6, 1, 2, 1, 7, 5, 1};
inline const Oid kTcpConnectionEntry = {1, 3, 6, 1, 2, 1, 6, 19, 1};
inline const Oid kTcpListenerEntry = {1, 3, 6, 1, 2, 1, 6, 20, 1};
inline const Oid kUdpEndpointEntry = {1, 3, 6, 1, 2, 1, 7, 7, 1};
inline const Oid kSwRunName = {1, 3, 6, 1, 2, 1, 25, 4, 2, 1, 2};

// The name of one column's object for a row instance.
Oid MibColumn(const Oid& entry, uint32_t column, const std::vector<uint32_t>& instance);
FakeValue FakeInt(int32_t n);
FakeValue FakeIp(std::vector<uint8_t> bytes);
FakeValue FakeGauge(uint32_t n);
FakeValue FakeText(const std::string& text);

// The one agent the entry points serve; tests reset it in SetUp.
FakeAgent& TheFakeAgent();
int32_t FakeAgentInit(uint32_t uptime, void** trap, AsnObjectIdentifier* region);
int32_t FakeAgentQuery(uint8_t pdu, SnmpVarBindList* list, AsnInteger32* status, AsnInteger32* index);
