#pragma once
#include <QIcon>
#include <QPoint>
#include <QSystemTrayIcon>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/MonitorSettings.h"
#include "friends/PingWorker.h"
#include "messaging/LanMailslotReceiver.h"
#include "messaging/MessengerMailslot.h"
#include "messaging/PeerConstants.h"
#include "monitor/CConnectionTracker.h"
#include "monitor/CNetTableAgent.h"
#include "monitor/ConnectionList.h"
#include "monitor/ConnectionListUi.h"
#include "monitor/ConnectionRecord.h"
#include "platform/DBusNotifier.h"
#include "platform/DialogUi.h"
#include "platform/ListViewUi.h"
#include "platform/LocalTime.h"
#include "platform/Privileges.h"
#include "platform/ThreadLink.h"
#include "platform/WindowRef.h"
#include "ports/CPortNameTable.h"
#include "res/Templates.h"

class AlarmNotifications;
class QEventLoop;
class QLabel;
class CSendMessageDlg;
class QListWidget;
class QSocketNotifier;

inline constexpr int TIMER_REFRESH = 4444;
inline constexpr int TIMER_MAILSLOT = 4445;
// Connects whose alarm box waits while another is open; beyond this they are in the
// history and the log only.
inline constexpr size_t MAX_WAITING_ALARMS = 64;

// Seams the main window is built with; the program uses the defaults.
struct MonitorOptions {
    std::string agentLibraryPath = DefaultAgentLibraryPath();
    // An agent given by its entry points replaces the library when both are set.
    SnmpExtensionInitFn agentInit = nullptr;
    SnmpExtensionQueryFn agentQuery = nullptr;
    // Local time for log marks, history lines and message boxes.
    LocalTime (*clock)() = &NowLocal;
    // Hears the name of each start-up and exit step as it runs, so their order can be
    // watched; empty in the program.
    std::function<void(const std::string&)> onStep;
    // Where messages come and go; tests use endpoints of their own.
    std::string mailslotName = LocalMailslotName();
    bool receiveLanMessages = true;
    std::string smbConf = DEFAULT_SMB_CONF;
    uint16_t peerPort = PEER_MESSAGE_PORT;
    // Where alarms go as desktop notifications; empty, or a null notifier, leaves
    // every alarm to a box.
    std::function<std::unique_ptr<DesktopNotifier>()> notifier = &CreateSessionBusNotifier;
    // Asked after a ping that could not be made: may this process ping at all?
    bool (*icmpEchoAllowed)() = &IcmpEchoAllowed;
};

// What each subsystem keeps in the main window. Each part is written only by its own
// glue file (named in the comment); the rest of the window reads it.

// app/MonitorDlgConnections.cpp, app/MonitorDlgHistory.cpp
struct MonitorPart {
    std::unique_ptr<CNetTableAgent> agent;
    int refreshRunning = 0;
    CConnectionTracker tracker;
    CListCtrl connList;
    ConnectionListModel* connRows = nullptr;  // what connList shows, owned by its view
    // The displayed table, at most MAX_CONNECTIONS records: the list's model keeps it.
    const std::vector<ConnectionRecord>& Displayed() const { return connRows->Table(); }
    QLabel* limitNotice = nullptr;         // once a read has stopped at MAX_CONNECTIONS
    QLabel* hiddenOwnerNotice = nullptr;   // once a row's owner could not be seen
    QListWidget* history = nullptr;
    CImageList imageList;
};

// app/MonitorDlgMessaging.cpp: the Messenger mailslot and the peer messages.
struct MessagingPart {
    std::unique_ptr<CMessengerMailslot> mailslot;  // null when it could not be created
    QSocketNotifier* arrivals = nullptr;           // drains the mailslot as messages arrive
    std::unique_ptr<CLanMailslotReceiver> lan;     // null where port 138 cannot be bound
    QLabel* lanPortNotice = nullptr;               // once port 138 was refused for want of privilege
    std::shared_ptr<ThreadLink> peerLink = std::make_shared<ThreadLink>();
    std::vector<std::weak_ptr<ThreadLink>> sends;  // Messenger sends whose workers may still run
};

// Friend list and ping
struct FriendsPart {
    CListCtrl friendList;
    std::shared_ptr<PingBlock> ping = std::make_shared<PingBlock>();
    QLabel* pingNotice = nullptr;  // once a ping failed where no ICMP socket is allowed
};

// app/MonitorDlgPopup.cpp: which address the popup-menu commands act on.
struct PopupSelection {
    char address[ADDRESS_TEXT_SIZE] = {};
    int mode = 0;  // 0 none, 1 a connection row, 2 a friend row
};

// The main window: owns every long-lived object of the program, runs the start-up
// sequence, both timers and the routing of commands and posted messages.
class CMonitorDlg : public CDialogBase {
    Q_OBJECT
public:
    explicit CMonitorDlg(QWidget* parent = nullptr, MonitorOptions options = {});
    ~CMonitorDlg() override;

    // Runs the window until DestroyWindow: initialisation, then a modal loop of its own
    // (hiding the window must not end the run, as it would for QDialog::exec).
    int DoModal() override;
    bool Initialize() { return OnInitDialog(); }

    // The process-wide start-up flag: 1 until the first timer message.
    static int startupFlag;

    // Handlers, public so that tests drive them as window messages would.
    void OnTimer(int id);
    void OnClose();
    void OnCommandId(int id) { OnCommand(id); }
    void OnSysCommand(int command);
    int OnTrayNotify(QSystemTrayIcon::ActivationReason reason);
    // The launcher's request from a second start: the window comes forward.
    void OnShowRequest();
    void OnContextMenu(QPoint screenPos);
    void OnConnListRightClick(int item);
    void OnFriendListRightClick(int item);
    void OnConnEvent(const std::string& text);
    void OnExit();

protected:
    bool OnInitDialog() override;
    void OnOK() override {}
    // Esc hides the window like the close box: ending the run here would skip the exit
    // command's steps and lose the log's end mark.
    void OnCancel() override { OnClose(); }
    void OnCommand(int id) override;
    void OnPostedMessage(PostedMessage& m) override;

    void closeEvent(QCloseEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

    // The seams: the agent, the mailslot, the peer receiver, the timers and the files.
    virtual bool InitializeAgent();
    virtual std::unique_ptr<CMessengerMailslot> CreateMessengerMailslot();
    virtual void CloseMailslot();
    virtual void PollMessengerMailslot();
    virtual void StartPeerReceiver();
    virtual void SetTimer(int id, int periodMs);
    virtual void KillTimer(int id);
    virtual bool ReadSettings();
    virtual void LoadFriendFile();
    virtual void WriteAccessLog(int mode, const std::string& text = {});

private:
    friend class CMonitorDlgTestPeer;

    void Step(const char* name) const;

    // Start-up and exit steps.
    void AddTrayIcon();
    void OpenMessengerMailslot();
    void RemoveTrayIcon();
    void RefreshConnections();
    int FillConnectionList(int count);
    void CreateAdvertisingControl();
    void DeleteImageList();
    void DestroyWindow();
    void StopWorkers();
    void WriteSettings();
    void ReadPreferences();
    void WritePreferences();
    std::string WorkFile(const char* name) const;

    // The strip above the buttons holds what the user should know for good (a missing
    // tray or privilege, a bound reached), each said once. Notices line up from the left
    // in the order they came, one atRight from the right end; a text that finds no room
    // is cut short with its whole in the tooltip, after which `detail` follows.
    QLabel* ShowNotice(const char* name, const QString& text, const QString& detail = {}, bool atRight = false);
    void LayOutNotices();
    // Says on stderr (`why`, in English) and in the strip (`text`) what a missing
    // privilege keeps from working, and how to grant it, or the other way there is.
    QLabel* ShowMissingPrivilege(const char* name, const QString& text, const std::string& why,
                                 const char* otherWay = nullptr, const QString& otherWayKorean = {});

    // Hides the window, or minimises it where the desktop has no notification area.
    void HideWindow();
    void ShowWindow();
    // Shown and not minimised, nor covered or taken off the screen by the window manager.
    bool InSight() const;
    void ShowSystemMenu(QPoint screenPos);
    void ShowAlarm(const QString& line);
    void ShowAlarmBox(const QString& line);
    // What a left click on the tray icon does: show the window, or bring it to the front.
    void BringWindowBack();

    void OnSettings();
    void OnViewAccessLog();
    void OnExportAccessLog();
    void OnPing();
    FriendAddressOf FriendAddresses() const;
    void OnComputerName();
    void OnWhois();
    void OnSendMessage();
    void OnFriendList();
    void OnComputerNameForSelection();
    void OnWhoisForSelection();
    void OnSendMessageToSelection();
    void OnPingResult(const PostedMessage& m);
    void OnPeerMessage(const PostedMessage& m);
    void SendMessages(const CSendMessageDlg& dlg);
    void SendMessengerMessage(const std::string& recipient, const std::string& text);
    void SendPeerMessage(const std::string& address, const std::string& text);

    MonitorOptions options_;
    QIcon icon_;
    MenuTemplate systemMenu_{IDR_SYSTEM_MENU, {}};
    std::string workDir_;
    CPortNameTable portNames_;
    MonitorSettings settings_ = DefaultSettings();
    MonitorPreferences preferences_;
    int windowVisible_ = 1;

    MonitorPart monitor_;
    MessagingPart messaging_;
    FriendsPart friends_;
    PopupSelection selection_;

    QTimer refreshTimer_;
    QTimer mailslotTimer_;
    QSystemTrayIcon* tray_ = nullptr;
    QLabel* noTrayNotice_ = nullptr;
    std::vector<QLabel*> notices_;  // in the strip, in the order they came
    QEventLoop* modalLoop_ = nullptr;
    bool destroyed_ = false;
    QWidget* adPicture_ = nullptr;  // a click on it opens the About box

    // Alarm boxes open one at a time; the connects that arrive meanwhile wait here.
    std::deque<QString> waitingAlarms_;
    bool alarmOpen_ = false;
    AlarmNotifications* notifications_ = nullptr;  // null where alarms are boxes only
};
