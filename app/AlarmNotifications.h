#pragma once
#include <QObject>
#include <QString>
#include <deque>
#include <memory>
#include <vector>

#include "platform/DesktopNotifier.h"

// How many of a burst's newest lines the notification shows.
inline constexpr int ALARM_LINES_SHOWN = 5;
inline constexpr const char* SHOW_WINDOW_ACTION = "show-window";

// Connect alarms as desktop notifications. A burst folds into the notification still
// open, which then counts what arrived and shows the newest lines. A line no server
// took, or that came while there was none, goes back as a box: nothing is lost.
class AlarmNotifications : public QObject {
    Q_OBJECT
public:
    AlarmNotifications(std::unique_ptr<DesktopNotifier> notifier, QString appIcon, QObject* parent = nullptr);

    // A server answered the last question.
    bool Available() const { return state_ == State::Available; }
    void Show(const QString& line);

signals:
    void showAsBox(const QString& line);
    void showWindow();

private:
    enum class State { Unknown, Available, Missing };

    void Pump();
    void Ask();
    void Send();
    void GiveBack(std::vector<QString> lines);
    void OnProbed(bool available, bool bodyMarkup);
    void OnNotified(bool ok, uint32_t id);
    void OnClosed(uint32_t id);
    QString Body() const;

    std::unique_ptr<DesktopNotifier> notifier_;
    QString appIcon_;
    State state_ = State::Unknown;
    bool asking_ = false;
    bool markup_ = false;
    bool sending_ = false;
    uint32_t openId_ = 0;          // the notification still on screen, 0 when none
    int count_ = 0;                // connects folded into it
    std::deque<QString> newest_;   // newest first, at most ALARM_LINES_SHOWN
    std::vector<QString> sent_;    // in the call under way, oldest first
    std::vector<QString> waiting_; // not sent yet, oldest first
};

// The program's icon for a notification: its PNG in the installed tree or the build
// tree, else the icon's name in the theme.
QString ProgramIconUri();
