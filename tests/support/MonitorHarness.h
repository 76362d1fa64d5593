#pragma once
// The main window under test: a test peer that reads and sets its state, one test
// window with the fake agent and a trace of its start-up and exit steps, a fixed
// clock, and a fixture that runs each test in a fresh working directory.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QListWidget>
#include <QTreeWidget>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/CMonitorDlg.h"
#include "support/FakeAgent.h"
#include "support/LoopbackSockets.h"
#include "support/TestRecords.h"
#include "support/TestSupport.h"
#include "support/WidgetSupport.h"

// The time every test window sees; a test may set another.
struct TestClock {
    static inline LocalTime time{2024, 3, 5, 9, 7, 2};
    static LocalTime Now() { return time; }
};

// Makes a folder the process's working directory while it lives, so that the files the
// window writes during initialisation land there.
class ScopedWorkDir {
public:
    explicit ScopedWorkDir(const std::string& dir) {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd)) old_ = cwd;
        if (::chdir(dir.c_str()) != 0) old_.clear();
    }
    ~ScopedWorkDir() {
        if (!old_.empty() && ::chdir(old_.c_str()) != 0) {}
    }
    ScopedWorkDir(const ScopedWorkDir&) = delete;
    ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;

private:
    std::string old_;
};

// Reads and sets the main window's state for tests.
class CMonitorDlgTestPeer {
public:
    explicit CMonitorDlgTestPeer(CMonitorDlg& dlg) : d_(dlg) {}

    MonitorPart& Monitor() const { return d_.monitor_; }
    MessagingPart& Messaging() const { return d_.messaging_; }
    FriendsPart& Friends() const { return d_.friends_; }
    PopupSelection& Selection() const { return d_.selection_; }
    MonitorSettings& Settings() const { return d_.settings_; }
    CPortNameTable& PortNames() const { return d_.portNames_; }

    CListCtrl& ConnectionList() const { return d_.monitor_.connList; }
    CListCtrl& FriendList() const { return d_.friends_.friendList; }
    QListWidget* HistoryList() const { return d_.monitor_.history; }
    const CImageList& ImageList() const { return d_.monitor_.imageList; }
    CNetTableAgent& Agent() const { return *d_.monitor_.agent; }
    CConnectionTracker& Tracker() const { return d_.monitor_.tracker; }
    int DisplayedCount() const { return static_cast<int>(d_.monitor_.Displayed().size()); }
    int RefreshRunning() const { return d_.monitor_.refreshRunning; }
    int WindowVisible() const { return d_.windowVisible_; }
    int SelectionMode() const { return d_.selection_.mode; }
    const char* SelectedAddress() const { return d_.selection_.address; }
    const QTimer& RefreshTimer() const { return d_.refreshTimer_; }
    const QTimer& MailslotTimer() const { return d_.mailslotTimer_; }
    CMessengerMailslot* Mailslot() const { return d_.messaging_.mailslot.get(); }
    bool IsDestroyed() const { return d_.destroyed_; }
    QSystemTrayIcon* TrayIcon() const { return d_.tray_; }
    bool HasNoTrayNotice() const { return d_.noTrayNotice_ != nullptr; }
    const std::string& WorkingDirectory() const { return d_.workDir_; }
    const MonitorOptions& Options() const { return d_.options_; }

    int FillConnectionList(int count) const { return d_.FillConnectionList(count); }
    void SetRefreshRunning(int running) const { d_.monitor_.refreshRunning = running; }
    void SetWorkDir(const std::string& dir) const { d_.workDir_ = dir; }
    // Puts records in the displayed table and draws them.
    void ShowRecords(const std::vector<ConnectionRecord>& records) const {
        d_.monitor_.connRows->Show(static_cast<int>(records.size()), records.data(), d_.settings_.displayMode);
        d_.FillConnectionList(static_cast<int>(records.size()));
    }

private:
    CMonitorDlg& d_;
};

// A mailslot name no other window or running copy uses.
inline std::string UniqueMailslotName() {
    static int counter = 0;
    return "tolvara-test-mailslot-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

inline constexpr bool kWithMailslot = true;

// A UDP port nothing on loopback listens on just now.
inline uint16_t FreeUdpPort() {
    Fd probe = UdpSocket(0);
    return LocalPort(probe.get());
}

// The program's own options with message endpoints no running copy or other test
// shares: its own mailslot name, no LAN reception, a free peer port.
inline MonitorOptions PrivateEndpoints() {
    MonitorOptions o;
    o.mailslotName = UniqueMailslotName();
    o.receiveLanMessages = false;
    o.peerPort = FreeUdpPort();
    return o;
}

// The main window over the fake agent, tracing its start-up and exit steps in order.
// Its mailslot, when it has one, goes by a name of its own and hears nothing from the
// LAN; the settings file may be replaced.
class TestMonitorDlg : public CMonitorDlg, public CMonitorDlgTestPeer {
public:
    explicit TestMonitorDlg(bool mailslot = false, const std::function<void(MonitorOptions&)>& adjust = {})
        : CMonitorDlg(nullptr, MakeOptions(trace, adjust)), CMonitorDlgTestPeer(static_cast<CMonitorDlg&>(*this)),
          withMailslot(mailslot) {}

    std::vector<std::string> trace;
    bool withMailslot;                            // whether CreateMessengerMailslot succeeds
    std::optional<MonitorSettings> fileSettings;  // what ReadSettings finds instead of the file
    int polls = 0;
    bool startPeerReceiver = false;               // the real receiver, on the options' port
    // Seen by the steps that can tell what earlier steps set up.
    int columnsAtFriendFile = -1;
    int imagesAtFriendFile = -1;
    int showNamesAtTimer = -1;
    bool peerLinkReadyAtReceiver = false;
    QElapsedTimer refreshTimerStarted;  // since the last SetTimer of the refresh timer

    using CMonitorDlgTestPeer::FillConnectionList;

    void WriteAccessLog(int mode, const std::string& text = {}) override {
        trace.push_back("WriteAccessLog " + std::to_string(mode));
        CMonitorDlg::WriteAccessLog(mode, text);
    }

protected:
    bool InitializeAgent() override {
        trace.push_back("InitializeAgent");
        return CMonitorDlg::InitializeAgent();
    }
    std::unique_ptr<CMessengerMailslot> CreateMessengerMailslot() override {
        trace.push_back("CreateMessengerMailslot");
        return withMailslot ? CMonitorDlg::CreateMessengerMailslot() : nullptr;
    }
    void CloseMailslot() override {
        trace.push_back("CloseMailslot");
        CMonitorDlg::CloseMailslot();
    }
    void PollMessengerMailslot() override {
        ++polls;
        CMonitorDlg::PollMessengerMailslot();
    }
    void StartPeerReceiver() override {
        trace.push_back("StartPeerReceiver");
        peerLinkReadyAtReceiver = Messaging().peerLink->hwnd.IsWindow() && Messaging().peerLink->State() == WorkerState::Running;
        if (startPeerReceiver) CMonitorDlg::StartPeerReceiver();
    }
    void SetTimer(int id, int periodMs) override {
        trace.push_back("SetTimer " + std::to_string(id) + " " + std::to_string(periodMs));
        showNamesAtTimer = PortNames().ShowNames();
        if (id == TIMER_REFRESH) refreshTimerStarted.start();
        CMonitorDlg::SetTimer(id, periodMs);
    }
    void KillTimer(int id) override {
        trace.push_back("KillTimer " + std::to_string(id));
        CMonitorDlg::KillTimer(id);
    }
    bool ReadSettings() override {
        bool ok;
        if (fileSettings) {
            Settings() = *fileSettings;
            ok = true;
        } else {
            ok = CMonitorDlg::ReadSettings();
        }
        trace.push_back(ok ? "ReadSettings" : "ReadSettings failed");
        return ok;
    }
    void LoadFriendFile() override {
        trace.push_back("LoadFriendFile");
        columnsAtFriendFile = ConnectionList().GetColumnCount() * 10 + FriendList().GetColumnCount();
        imagesAtFriendFile = ImageList().GetImageCount();
        CMonitorDlg::LoadFriendFile();
    }

private:
    static MonitorOptions MakeOptions(std::vector<std::string>& trace,
                                      const std::function<void(MonitorOptions&)>& adjust) {
        MonitorOptions o;
        o.agentInit = &FakeAgentInit;
        o.agentQuery = &FakeAgentQuery;
        o.clock = &TestClock::Now;
        o.onStep = [&trace](const std::string& step) { trace.push_back(step); };
        o.mailslotName = UniqueMailslotName();
        o.receiveLanMessages = false;
        o.peerPort = FreeUdpPort();
        o.notifier = {};  // alarms are boxes unless a test brings a notifier of its own
        if (adjust) adjust(o);
        return o;
    }
};

// Each test runs in a fresh empty working directory, with a fresh fake agent, the
// start-up flag set, the default clock and no message-box or menu hook, as a fresh
// process would.
class MonitorWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        TheFakeAgent() = FakeAgent{};
        TestClock::time = LocalTime{2024, 3, 5, 9, 7, 2};
        CMonitorDlg::startupFlag = 1;
        SetMessageBoxHook({});
        SetPopupMenuHook({});
    }
    void TearDown() override {
        SetMessageBoxHook({});
        SetPopupMenuHook({});
        TheFakeAgent() = FakeAgent{};
    }

    void WriteSettings(const MonitorSettings& s) {
        const auto bytes = EncodeSettings(s);
        WriteWholeFile(dir.file(SETTINGS_FILE_NAME), std::string(bytes.begin(), bytes.end()));
    }

    TempDir dir;
    ScopedWorkDir inDir{dir.path()};
};
