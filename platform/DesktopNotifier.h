#pragma once
// What a desktop notification server is asked to show, and the seam between the alarm
// logic and the bus that carries it.
#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>

struct NotificationRequest {
    uint32_t replacesId = 0;  // 0 for a new notification
    QString appName;
    QString appIcon;  // an icon name or a file:// URI
    QString summary;
    QString body;
    QStringList actions;  // key, label, key, label, ...
    uint8_t urgency = 1;  // 0 low, 1 normal, 2 critical
    QString category;
    QString desktopEntry;
};

// Every call is answered by a signal, never before it returns, so the caller's thread
// never waits on the server.
class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Asks whether a server is there and what it takes: answered by probed().
    virtual void Probe() = 0;
    // One request at a time: answered by notified().
    virtual void Notify(const NotificationRequest& request) = 0;

signals:
    void probed(bool available, bool bodyMarkup);
    void notified(bool ok, uint32_t id);
    void actionInvoked(uint32_t id, const QString& key);
    void closed(uint32_t id);
};
