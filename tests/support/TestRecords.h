#pragma once
// Connection records as the agent fills them, and port-name tables, for the
// monitor's tests.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "monitor/ConnectionRecord.h"
#include "ports/CPortNameTable.h"
#include "support/TestSupport.h"

inline ConnectionRecord TcpRecord(const char* remote, int remotePort, int localPort, int state = STATE_ESTABLISHED,
                                  const char* local = "192.168.0.2") {
    ConnectionRecord r{};
    std::snprintf(r.protocol, sizeof r.protocol, "TCP");
    std::snprintf(r.localAddress, sizeof r.localAddress, "%s", local);
    std::snprintf(r.remoteAddress, sizeof r.remoteAddress, "%s", remote);
    r.family = std::strchr(local, ':') ? 6 : 4;
    r.stateIndex = state;
    r.localPort = localPort;
    r.remotePort = remotePort;
    return r;
}

inline ConnectionRecord UdpRecord(int localPort, const char* local = "0.0.0.0") {
    ConnectionRecord r{};
    std::snprintf(r.protocol, sizeof r.protocol, "UDP");
    std::snprintf(r.localAddress, sizeof r.localAddress, "%s", local);
    std::snprintf(r.remoteAddress, sizeof r.remoteAddress, "*:*");
    r.family = std::strchr(local, ':') ? 6 : 4;
    r.localPort = localPort;
    return r;
}

// A port-name table read from the given services text alone.
struct TestPortNames {
    TempDir dir;
    std::unique_ptr<CPortNameTable> table;
    TestPortNames(const std::string& services, int show) {
        WriteWholeFile(dir.file("services"), services);
        table = std::make_unique<CPortNameTable>(dir.file("services"), dir.file("none"));
        table->SetShowNames(show);
    }
};
