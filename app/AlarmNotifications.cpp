#include "app/AlarmNotifications.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QUrl>
#include <utility>

#include "monitor/ConnectionHistory.h"

namespace {

const char kDesktopEntry[] = "io.github.tolvara.Tolvara";

QString Escaped(const QString& line) {
    QString s = line;
    s.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    s.replace(QLatin1Char('<'), QLatin1String("&lt;"));
    s.replace(QLatin1Char('>'), QLatin1String("&gt;"));
    return s;
}

}  // namespace

AlarmNotifications::AlarmNotifications(std::unique_ptr<DesktopNotifier> notifier, QString appIcon,
                                       QObject* parent)
    : QObject(parent), notifier_(std::move(notifier)), appIcon_(std::move(appIcon)) {
    connect(notifier_.get(), &DesktopNotifier::probed, this, &AlarmNotifications::OnProbed);
    connect(notifier_.get(), &DesktopNotifier::notified, this, &AlarmNotifications::OnNotified);
    connect(notifier_.get(), &DesktopNotifier::closed, this, &AlarmNotifications::OnClosed);
    connect(notifier_.get(), &DesktopNotifier::actionInvoked, this, [this](uint32_t id, const QString& key) {
        if (id != 0 && id == openId_ && (key == QLatin1String("default") || key == QLatin1String(SHOW_WINDOW_ACTION)))
            emit showWindow();
    });
    // Asked now, so the first refresh's alarms wait for the answer as briefly as can be.
    Ask();
}

void AlarmNotifications::Show(const QString& line) {
    waiting_.push_back(line);
    Pump();
}

void AlarmNotifications::Pump() {
    if (sending_ || waiting_.empty()) return;
    if (state_ == State::Available) {
        Send();
    } else if (state_ == State::Missing) {
        // A server may have come since: the next alarm finds out.
        Ask();
        GiveBack(std::exchange(waiting_, {}));
    }
}

void AlarmNotifications::Ask() {
    if (asking_) return;
    asking_ = true;
    notifier_->Probe();
}

void AlarmNotifications::Send() {
    for (const QString& line : waiting_) {
        ++count_;
        newest_.push_front(line);
        if (newest_.size() > ALARM_LINES_SHOWN) newest_.pop_back();
    }
    sent_ = std::exchange(waiting_, {});
    sending_ = true;
    NotificationRequest r;
    r.replacesId = openId_;
    r.appName = QStringLiteral("Tolvara");
    r.appIcon = appIcon_;
    r.summary = QString::fromUtf8(ALARM_CAPTION);
    r.body = Body();
    const QString show = QStringLiteral("창 보이기");
    r.actions = {QStringLiteral("default"), show, QLatin1String(SHOW_WINDOW_ACTION), show};
    r.urgency = 2;
    r.category = QStringLiteral("network.connected");
    r.desktopEntry = QLatin1String(kDesktopEntry);
    notifier_->Notify(r);
}

QString AlarmNotifications::Body() const {
    QStringList lines;
    for (const QString& line : newest_) lines.push_back(markup_ ? Escaped(line) : line);
    if (count_ <= 1) return lines.join(QLatin1Char('\n'));
    QString head = QStringLiteral("외부 접속 %1건").arg(count_);
    if (static_cast<int>(newest_.size()) < count_) head += QStringLiteral(" (최근 %1건)").arg(newest_.size());
    lines.push_front(head);
    return lines.join(QLatin1Char('\n'));
}

// The boxes run nested loops that may bring more alarms: the state is settled first.
void AlarmNotifications::GiveBack(std::vector<QString> lines) {
    for (const QString& line : lines) emit showAsBox(line);
    Pump();
}

void AlarmNotifications::OnProbed(bool available, bool bodyMarkup) {
    asking_ = false;
    state_ = available ? State::Available : State::Missing;
    markup_ = bodyMarkup;
    Pump();
}

void AlarmNotifications::OnNotified(bool ok, uint32_t id) {
    sending_ = false;
    if (ok) {
        openId_ = id;
        sent_.clear();
        Pump();
        return;
    }
    // The server may be gone, and with it what it showed: start afresh, and ask again.
    openId_ = 0;
    count_ = 0;
    newest_.clear();
    state_ = State::Unknown;
    Ask();
    GiveBack(std::exchange(sent_, {}));
}

void AlarmNotifications::OnClosed(uint32_t id) {
    if (id == 0 || id != openId_) return;
    openId_ = 0;
    count_ = 0;
    newest_.clear();
}

QString ProgramIconUri() {
    const QString dir = QCoreApplication::applicationDirPath();
    const QString name = QLatin1String(kDesktopEntry);
    for (const QString& relative : {QStringLiteral("/../../share/icons/hicolor/48x48/apps/"),
                                    QStringLiteral("/../dist/icons/48x48/")}) {
        const QFileInfo png(dir + relative + name + QStringLiteral(".png"));
        if (png.isFile()) return QUrl::fromLocalFile(png.canonicalFilePath()).toString();
    }
    return name;
}
