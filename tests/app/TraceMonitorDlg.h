#pragma once
// A main window whose start-up and shut-down steps write an ordered trace, with the
// network agent, the refresh and the settings file replaced, for the shell's widget
// tests. Modal dialogs are answered through the helpers below.
#include <QAbstractButton>
#include <QApplication>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/CMonitorDlg.h"
#include "platform/PopupMenuUi.h"
#include "support/TestSupport.h"

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

// The widget tests share one application object.
inline void EnsureApplication() {
    static int argc = 1;
    static char name[] = "tolvara_test";
    static char* argv[] = {name, nullptr};
    if (!qApp) new QApplication(argc, argv);
}

class TraceMonitorDlg : public CMonitorDlg {
public:
    explicit TraceMonitorDlg(MonitorOptions options = {}) : CMonitorDlg(nullptr, std::move(options)) {}

    std::vector<std::string> trace;
    std::optional<MonitorSettings> fileSettings;  // what ReadSettings finds; none: no file
    int mailslotHandle = -1;                      // what CreateMessengerMailslot returns

    void SetWorkDir(const std::string& dir) { workDir_ = dir; }
    void SetRefreshRunning(int running) { refreshRunning_ = running; }
    void SetMailslot(int handle) { mailslot_ = handle; }

    // Puts records in the displayed table and draws them.
    void ShowRecords(const std::vector<ConnectionRecord>& records) {
        displayedCount_ = static_cast<int>(records.size());
        for (size_t i = 0; i < records.size(); ++i) displayed_[i] = records[i];
        FillConnectionList(displayedCount_);
    }

    void WriteAccessLog(int mode, const std::string& text = {}) override {
        trace.push_back("WriteAccessLog " + std::to_string(mode));
        CMonitorDlg::WriteAccessLog(mode, text);
    }

protected:
    void AddTrayIcon() override {
        trace.push_back("AddTrayIcon");
        CMonitorDlg::AddTrayIcon();
    }
    int CreateMessengerMailslot() override { return mailslotHandle; }
    bool InitializeAgent() override { return true; }
    bool ReadSettings() override {
        if (fileSettings) settings_ = *fileSettings;
        return fileSettings.has_value();
    }
    void RefreshConnections() override { trace.push_back("RefreshConnections"); }
    void CreateAdvertisingControl() override {}
    void SetTimer(int id, int periodMs) override {
        trace.push_back("SetTimer " + std::to_string(id) + " " + std::to_string(periodMs));
        CMonitorDlg::SetTimer(id, periodMs);
    }
    void KillTimer(int id) override {
        trace.push_back("KillTimer " + std::to_string(id));
        CMonitorDlg::KillTimer(id);
    }
    void CloseMailslot() override {
        trace.push_back("CloseMailslot");
        CMonitorDlg::CloseMailslot();
    }
    void DeleteImageList() override {
        trace.push_back("DeleteImageList");
        CMonitorDlg::DeleteImageList();
    }
    void RemoveTrayIcon() override {
        trace.push_back("RemoveTrayIcon");
        CMonitorDlg::RemoveTrayIcon();
    }
    void DestroyWindow() override {
        trace.push_back("DestroyWindow");
        CMonitorDlg::DestroyWindow();
    }
    void OnComputerName() override { trace.push_back("OnComputerName"); }
    void OnWhois() override { trace.push_back("OnWhois"); }
    void OnSendMessage() override { trace.push_back("OnSendMessage"); }
    void OnFriendList() override { trace.push_back("OnFriendList"); }
    void OnComputerNameForSelection() override { trace.push_back("OnComputerNameForSelection"); }
    void OnWhoisForSelection() override { trace.push_back("OnWhoisForSelection"); }
    void OnSendMessageToSelection() override { trace.push_back("OnSendMessageToSelection"); }
};

// Answers the next modal dialog from inside its own loop: `act` sees it and must end it.
// Whatever is still open afterwards is cancelled, so a fault cannot hang the test.
inline void AnswerNextModal(std::function<void(CDialogBase*)> act, bool* seen = nullptr) {
    QTimer::singleShot(0, [act = std::move(act), seen] {
        auto* dlg = qobject_cast<CDialogBase*>(QApplication::activeModalWidget());
        if (seen) *seen = dlg != nullptr;
        if (!dlg) return;
        act(dlg);
        if (QApplication::activeModalWidget() == dlg) dlg->done(IDCANCEL);
    });
}

inline void ClickButton(CDialogBase* dlg, int id) {
    if (auto* b = dlg->Item<QAbstractButton>(id)) b->click();
}

// Records every popup menu request and answers with one command.
struct PopupRecorder {
    struct Request {
        int menuId;
        QPoint pos;
    };
    std::vector<Request> requests;
    int answer = 0;
    std::function<void()> whileOpen;
    PopupRecorder() {
        SetPopupMenuHook([this](int menuId, QPoint pos) {
            requests.push_back({menuId, pos});
            if (whileOpen) whileOpen();
            return answer;
        });
    }
    ~PopupRecorder() { SetPopupMenuHook({}); }
    PopupRecorder(const PopupRecorder&) = delete;
    PopupRecorder& operator=(const PopupRecorder&) = delete;
};
