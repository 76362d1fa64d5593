#pragma once
// The main window over a scripted network agent, for the widget tests: the agent
// answers from a list of records the test sets, counts table reads and can be made to
// fail; the window records the order of its start-up steps.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTreeWidget>
#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "TestRecords.h"
#include "app/CMonitorDlg.h"
#include "app/MonitorSettings.h"
#include "monitor/CNetTableAgent.h"
#include "platform/MessageBoxUi.h"
#include "platform/SnmpTypes.h"
#include "support/TestSupport.h"

inline QApplication& TestApp() {
    static int argc = 1;
    static char name[] = "tolvara-test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

inline void ProcessEventsFor(int ms) {
    QElapsedTimer t;
    t.start();
    do QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    while (t.elapsed() < ms);
}

// What the scripted agent serves: TCP and UDP records; it hands them back in MIB index
// order, as a real agent would.
struct ScriptedTables {
    std::vector<ConnectionRecord> records;
    bool initSucceeds = true;
    bool failReads = false;  // every request fails with status 5, index 1
    int reads = 0;           // table reads started (GETNEXT on tcpConnTable itself)
};

inline ScriptedTables& Tables() {
    static ScriptedTables tables;
    return tables;
}

namespace scripted {

using Oid = std::vector<uint32_t>;
struct Value {
    uint8_t type;
    int32_t number;
    uint8_t ip[4];
};

inline void Ip4(const char* dotted, uint8_t out[4]) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    std::memcpy(out, &a.s_addr, 4);
}

inline std::map<Oid, Value> View() {
    std::map<Oid, Value> view;
    for (const ConnectionRecord& r : Tables().records) {
        uint8_t local[4], remote[4];
        Ip4(r.localAddress, local);
        if (std::strcmp(r.protocol, "TCP") == 0) {
            Ip4(r.remoteAddress, remote);
            Oid inst(local, local + 4);
            inst.push_back(static_cast<uint32_t>(r.localPort));
            inst.insert(inst.end(), remote, remote + 4);
            inst.push_back(static_cast<uint32_t>(r.remotePort));
            auto put = [&](uint32_t column, Value v) {
                Oid o = {1, 3, 6, 1, 2, 1, 6, 13, 1, column};
                o.insert(o.end(), inst.begin(), inst.end());
                view[o] = v;
            };
            Value ipLocal{ASN_IPADDRESS, 0, {}}, ipRemote{ASN_IPADDRESS, 0, {}};
            std::memcpy(ipLocal.ip, local, 4);
            std::memcpy(ipRemote.ip, remote, 4);
            put(1, Value{ASN_INTEGER, r.stateIndex + 1, {}});
            put(2, ipLocal);
            put(3, Value{ASN_INTEGER, r.localPort, {}});
            put(4, ipRemote);
            put(5, Value{ASN_INTEGER, r.remotePort, {}});
        } else {
            Oid inst(local, local + 4);
            inst.push_back(static_cast<uint32_t>(r.localPort));
            Value ip{ASN_IPADDRESS, 0, {}};
            std::memcpy(ip.ip, local, 4);
            for (uint32_t column : {1u, 2u}) {
                Oid o = {1, 3, 6, 1, 2, 1, 7, 5, 1, column};
                o.insert(o.end(), inst.begin(), inst.end());
                view[o] = column == 1 ? ip : Value{ASN_INTEGER, r.localPort, {}};
            }
        }
    }
    return view;
}

inline void Store(SnmpVarBind& vb, const Oid& name, const Value& v) {
    SnmpUtilMemFree(vb.name.ids);
    vb.name.ids = static_cast<uint32_t*>(SnmpUtilMemAlloc(static_cast<uint32_t>(name.size() * 4)));
    std::memcpy(vb.name.ids, name.data(), name.size() * 4);
    vb.name.idLength = static_cast<uint32_t>(name.size());
    vb.value = AsnAny{};
    vb.value.asnType = v.type;
    if (v.type == ASN_INTEGER) {
        vb.value.asnValue.number = v.number;
    } else {
        auto* b = static_cast<uint8_t*>(SnmpUtilMemAlloc(4));
        std::memcpy(b, v.ip, 4);
        vb.value.asnValue.address = AsnOctetString{b, 4, 1};
    }
}

inline int32_t Init(uint32_t, void** trap, AsnObjectIdentifier*) {
    *trap = nullptr;
    return Tables().initSucceeds ? 1 : 0;
}

inline int32_t Query(uint8_t pdu, SnmpVarBindList* list, AsnInteger32* status, AsnInteger32* index) {
    static const Oid kTcpConnTable = {1, 3, 6, 1, 2, 1, 6, 13};
    *status = SNMP_ERRORSTATUS_NOERROR;
    *index = 0;
    if (pdu == SNMP_PDU_GETNEXT && list->len == 1 &&
        Oid(list->list[0].name.ids, list->list[0].name.ids + list->list[0].name.idLength) == kTcpConnTable)
        ++Tables().reads;
    if (Tables().failReads) {
        *status = SNMP_ERRORSTATUS_GENERR;
        *index = 1;
        return 0;
    }
    const std::map<Oid, Value> view = View();
    for (uint32_t i = 0; i < list->len; ++i) {
        SnmpVarBind& vb = list->list[i];
        const Oid name(vb.name.ids, vb.name.ids + vb.name.idLength);
        auto it = pdu == SNMP_PDU_GETNEXT ? view.upper_bound(name) : view.find(name);
        if (it == view.end()) {
            *status = SNMP_ERRORSTATUS_NOSUCHNAME;
            *index = static_cast<AsnInteger32>(i + 1);
            return 1;
        }
        Store(vb, it->first, it->second);
    }
    return 1;
}

}  // namespace scripted

// History lines and log marks carry this time.
inline LocalTime FixedClock() { return LocalTime{2024, 3, 5, 9, 7, 2}; }

// The main window with the scripted agent in place of the library, tracing its steps.
class TestMonitorDlg : public CMonitorDlg {
public:
    explicit TestMonitorDlg(int fakeMailslot = -1)
        : CMonitorDlg(nullptr, MonitorOptions{"", &FixedClock}), fakeMailslot_(fakeMailslot) {
        agent_ = std::make_unique<CNetTableAgent>(&scripted::Init, &scripted::Query);
    }

    std::vector<std::string> trace;
    int pings = 0;
    int polls = 0;
    // Filled by the steps that can see what earlier steps set up.
    int columnsAtFriendFile = -1;
    int imagesAtFriendFile = -1;
    int showNamesAtTimer = -1;
    bool peerLinkReadyAtReceiver = false;

protected:
    void AddTrayIcon() override {
        trace.push_back("AddTrayIcon");
        CMonitorDlg::AddTrayIcon();
    }
    int CreateMessengerMailslot() override {
        trace.push_back("CreateMessengerMailslot");
        return fakeMailslot_;
    }
    void LoadFriendFile() override {
        trace.push_back("LoadFriendFile");
        columnsAtFriendFile = connList_.widget()->columnCount() * 10 + friendList_.widget()->columnCount();
        imagesAtFriendFile = imageList_.GetImageCount();
    }
    bool InitializeAgent() override {
        trace.push_back("InitializeAgent");
        return CMonitorDlg::InitializeAgent();
    }
    bool ReadSettings() override {
        const bool ok = CMonitorDlg::ReadSettings();
        trace.push_back(ok ? "ReadSettings" : "ReadSettings failed");
        return ok;
    }
    void WriteAccessLog(int mode, const std::string& text) override {
        trace.push_back("WriteAccessLog " + std::to_string(mode));
        CMonitorDlg::WriteAccessLog(mode, text);
    }
    void SetTimer(int id, int periodMs) override {
        trace.push_back("SetTimer " + std::to_string(id) + " " + std::to_string(periodMs));
        showNamesAtTimer = portNames_.ShowNames();
        CMonitorDlg::SetTimer(id, periodMs);
    }
    void StartPeerReceiver() override {
        trace.push_back("StartPeerReceiver");
        peerLinkReadyAtReceiver = peerLink_->hwnd.IsWindow() && peerLink_->status == 0;
    }
    void RefreshConnections() override {
        trace.push_back("RefreshConnections");
        CMonitorDlg::RefreshConnections();
    }
    void CreateAdvertisingControl() override {
        trace.push_back("CreateAdvertisingControl");
        CMonitorDlg::CreateAdvertisingControl();
    }
    void PollMessengerMailslot() override { ++polls; }
    void OnPing() override { ++pings; }

private:
    int fakeMailslot_;
};

// Each test runs in a fresh empty working directory, with the start-up flag set and
// no message-box hook, as a fresh process would.
class MonitorWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        char buf[4096];
        oldCwd_ = ::getcwd(buf, sizeof buf) ? buf : "/";
        ASSERT_EQ(0, ::chdir(dir.path().c_str()));
        Tables() = ScriptedTables{};
        CMonitorDlg::startupFlag = 1;
        SetMessageBoxHook({});
    }
    void TearDown() override {
        SetMessageBoxHook({});
        Tables() = ScriptedTables{};
        (void)::chdir(oldCwd_.c_str());
    }

    void WriteSettings(const MonitorSettings& s) {
        const auto bytes = EncodeSettings(s);
        WriteWholeFile(dir.file(SETTINGS_FILE_NAME), std::string(bytes.begin(), bytes.end()));
    }

    TempDir dir;

private:
    std::string oldCwd_;
};
