#pragma once
#include <QPoint>
#include <QTimer>
#include <memory>
#include <string>

#include "app/MonitorSettings.h"
#include "monitor/CConnectionTracker.h"
#include "monitor/CNetTableAgent.h"
#include "monitor/ConnectionRecord.h"
#include "platform/DialogUi.h"
#include "platform/ListViewUi.h"
#include "platform/Messages.h"
#include "platform/LocalTime.h"
#include "platform/ThreadLink.h"
#include "platform/WindowRef.h"
#include "ports/CPortNameTable.h"

class QEventLoop;
class QLabel;
class QListWidget;
class QSystemTrayIcon;

// Ping block shared with the ping worker: no result pointer and no status word.
struct PingBlock {
    int row = 0;
    WindowRef hwnd;
    char address[16] = {};
};

// Seams the main window is built with; the program uses the defaults.
struct MonitorOptions {
    std::string agentLibraryPath = DefaultAgentLibraryPath();
    // Local time for log marks and history lines.
    LocalTime (*clock)() = &NowLocal;
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
    int OnTrayNotify(int wParam, int lParam);
    void OnContextMenu(QPoint screenPos);
    void OnConnListRightClick(int item);
    void OnFriendListRightClick(int item);
    void OnConnEvent(const std::string& text);
    void OnExit();
    void OnSettings();
    void OnViewAccessLog();

    int FillConnectionList(int count);
    virtual void WriteAccessLog(int mode, const std::string& text = {});

    // State other parts and tests read.
    const std::string& WorkingDirectory() const { return workDir_; }
    std::string WorkFile(const char* name) const { return workDir_ + "/" + name; }
    MonitorSettings& Settings() { return settings_; }
    int RefreshRunning() const { return refreshRunning_; }
    int WindowVisible() const { return windowVisible_; }
    int SelectionMode() const { return selectionMode_; }
    const char* SelectedAddress() const { return selectedAddress_; }
    const WindowRef& Handle() const { return hwnd_; }
    CListCtrl& ConnectionList() { return connList_; }
    CListCtrl& FriendList() { return friendList_; }
    QListWidget* HistoryList() const { return history_; }
    const CImageList& ImageList() const { return imageList_; }
    CNetTableAgent& Agent() { return *agent_; }
    CPortNameTable& PortNames() { return portNames_; }
    CConnectionTracker& Tracker() { return tracker_; }
    int DisplayedCount() const { return displayedCount_; }
    const ConnectionRecord* DisplayedRecords() const { return displayed_; }
    const QTimer& RefreshTimer() const { return refreshTimer_; }
    const QTimer& MailslotTimer() const { return mailslotTimer_; }
    int Mailslot() const { return mailslot_; }
    bool IsDestroyed() const { return destroyed_; }
    QSystemTrayIcon* TrayIcon() const { return tray_; }
    bool HasNoTrayNotice() const;

protected:
    bool OnInitDialog() override;
    void OnOK() override {}
    // Esc hides the window like the close box: ending the run here would skip the exit
    // command's steps and lose the log's end mark.
    void OnCancel() override { OnClose(); }
    void OnCommand(int id) override;

    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

    // Start-up and shut-down steps, in the order OnInitDialog and OnExit call them;
    // virtual so that tests can watch the order.
    virtual void AddTrayIcon();
    virtual int CreateMessengerMailslot();
    virtual void LoadFriendFile();
    virtual bool InitializeAgent();
    virtual bool ReadSettings();
    virtual void StartPeerReceiver();
    virtual void RefreshConnections();
    virtual void CreateAdvertisingControl();
    virtual void SetTimer(int id, int periodMs);
    virtual void KillTimer(int id);
    virtual void CloseMailslot();
    virtual void DeleteImageList();
    virtual void RemoveTrayIcon();
    virtual void DestroyWindow();
    virtual void PollMessengerMailslot();
    void WriteSettings();

    // Hides the window, or minimises it where the desktop has no notification area.
    void HideWindow();
    void ShowWindow();
    void ShowSystemMenu(QPoint screenPos);

    // Command handlers of later subsystems.
    virtual void OnPing() {}
    virtual void OnComputerName() {}
    virtual void OnWhois() {}
    virtual void OnSendMessage() {}
    virtual void OnFriendList() {}
    virtual void OnComputerNameForSelection() {}
    virtual void OnWhoisForSelection() {}
    virtual void OnSendMessageToSelection() {}
    virtual void OnPingResult(const PostedMessage&) {}
    virtual void OnPeerMessage(const PostedMessage&) {}

    MonitorOptions options_;
    WindowRef hwnd_;

    // Members in the order of the original window object.
    QListWidget* history_ = nullptr;
    CListCtrl friendList_;
    CListCtrl connList_;
    QIcon icon_;
    std::string workDir_;
    CPortNameTable portNames_;
    CConnectionTracker tracker_;
    int windowVisible_ = 1;
    char selectedAddress_[16] = {};
    std::shared_ptr<ThreadLink> peerLink_ = std::make_shared<ThreadLink>();
    int selectionMode_ = 0;
    int mailslot_ = -1;  // -1 stands for a null handle
    std::shared_ptr<PingBlock> pingBlock_ = std::make_shared<PingBlock>();
    ConnectionRecord displayed_[MAX_CONNECTIONS] = {};
    int displayedCount_ = 0;
    int refreshRunning_ = 0;
    MonitorSettings settings_ = DefaultSettings();
    CImageList imageList_;
    std::unique_ptr<CNetTableAgent> agent_;

    QTimer refreshTimer_;
    QTimer mailslotTimer_;
    QSystemTrayIcon* tray_ = nullptr;
    QLabel* noTrayNotice_ = nullptr;
    QEventLoop* modalLoop_ = nullptr;
    bool destroyed_ = false;
};
