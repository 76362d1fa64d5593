#pragma once
// Helpers for tests that drive real dialogs on the offscreen platform: the one
// application object, running the event loop for a while, answering modal dialogs,
// popup menus and message boxes from inside their loops.
#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QPoint>
#include <QTimer>

#include <functional>
#include <string>
#include <vector>

#include "platform/DialogUi.h"
#include "platform/MessageBoxUi.h"
#include "platform/PopupMenuUi.h"

// The widget tests share one application object.
inline QApplication& TestApp() {
    static int argc = 1;
    static char name[] = "tolvara-test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        auto* a = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        return a;
    }();
    return *app;
}

inline void ProcessEventsFor(int ms) {
    QElapsedTimer t;
    t.start();
    do QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    while (t.elapsed() < ms);
}

// Runs the event loop until done() holds or the limit passes; returns done().
inline bool ProcessEventsUntil(const std::function<bool()>& done, int limitMs = 5000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < limitMs) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

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

// Records every message box instead of showing it; `whileOpen` runs inside the box's
// place in the handler, as a nested loop would serve events.
struct MessageBoxRecorder {
    std::vector<MessageBoxRequest> boxes;
    std::function<void(const MessageBoxRequest&)> whileOpen;
    MessageBoxRecorder() {
        SetMessageBoxHook([this](const MessageBoxRequest& r) {
            boxes.push_back(r);
            if (whileOpen) whileOpen(r);
            return IDOK;
        });
    }
    ~MessageBoxRecorder() { SetMessageBoxHook({}); }
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;
};

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

// Records every modal dialog that opens, with the text of its IPv4 address control
// where it has one, and cancels it at once, so tests can see which command opened what.
class ModalRecorder : public QObject {
public:
    struct Opened {
        int dialog;
        std::string address;
        bool operator==(const Opened&) const = default;
    };
    std::vector<Opened> opened;

    ModalRecorder() { QCoreApplication::instance()->installEventFilter(this); }
    ~ModalRecorder() override { QCoreApplication::instance()->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* e) override {
        auto* dlg = qobject_cast<CDialogBase*>(watched);
        if (e->type() == QEvent::Show && dlg && dlg->isModal()) {
            const bool hasAddress = dlg->GetDlgItem(IDC_IP_ADDRESS) && dlg->Template().id != IDD_SETTINGS;
            opened.push_back({dlg->Template().id, hasAddress ? dlg->GetDlgItemText(IDC_IP_ADDRESS).toStdString() : ""});
            QTimer::singleShot(0, dlg, [dlg] { static_cast<QDialog*>(dlg)->reject(); });
        }
        return false;
    }
};

inline std::ostream& operator<<(std::ostream& os, const ModalRecorder::Opened& o) {
    return os << "dialog " << o.dialog << " [" << o.address << "]";
}
