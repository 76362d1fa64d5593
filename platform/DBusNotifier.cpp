#include "platform/DBusNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>
#include <functional>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
// A server that is started on demand and never comes must not hold alarms for the
// bus's own 25 s.
constexpr int kCallTimeoutMs = 5000;

class DBusNotifier : public DesktopNotifier {
    Q_OBJECT
public:
    DBusNotifier() : bus_(QDBusConnection::sessionBus()) {
        if (!bus_.isConnected()) return;
        // Matched by any sender: naming the service would make Qt ask the bus for its
        // owner and wait. Only ids this program was given are acted on.
        bus_.connect(QString(), kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                     SLOT(OnActionInvoked(uint, QString)));
        bus_.connect(QString(), kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                     SLOT(OnNotificationClosed(uint, uint)));
    }

    void Probe() override {
        Call(QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("GetCapabilities")),
             [this](QDBusPendingCallWatcher* w) {
                 const QDBusPendingReply<QStringList> reply = *w;
                 const bool ok = !reply.isError();
                 emit probed(ok, ok && reply.value().contains(QStringLiteral("body-markup")));
             },
             [this] { emit probed(false, false); });
    }

    void Notify(const NotificationRequest& r) override {
        QVariantMap hints;
        // A byte: servers ignore an urgency of any other type.
        hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(r.urgency));
        if (!r.category.isEmpty()) hints.insert(QStringLiteral("category"), r.category);
        if (!r.desktopEntry.isEmpty()) hints.insert(QStringLiteral("desktop-entry"), r.desktopEntry);
        QDBusMessage m = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
        m << r.appName << uint(r.replacesId) << r.appIcon << r.summary << r.body << r.actions << hints
          << int(-1);
        Call(m,
             [this](QDBusPendingCallWatcher* w) {
                 const QDBusPendingReply<uint> reply = *w;
                 if (reply.isError()) emit notified(false, 0);
                 else emit notified(true, reply.value());
             },
             [this] { emit notified(false, 0); });
    }

private slots:
    void OnActionInvoked(uint id, const QString& key) { emit actionInvoked(id, key); }
    void OnNotificationClosed(uint id, uint /*reason*/) { emit closed(id); }

private:
    void Call(const QDBusMessage& m, std::function<void(QDBusPendingCallWatcher*)> answered,
              std::function<void()> noBus) {
        if (!bus_.isConnected()) {
            QMetaObject::invokeMethod(this, std::move(noBus), Qt::QueuedConnection);
            return;
        }
        auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(m, kCallTimeoutMs), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [answered = std::move(answered)](QDBusPendingCallWatcher* w) {
                    w->deleteLater();
                    answered(w);
                });
    }

    QDBusConnection bus_;
};

}  // namespace

std::unique_ptr<DesktopNotifier> CreateSessionBusNotifier() { return std::make_unique<DBusNotifier>(); }

#include "DBusNotifier.moc"
