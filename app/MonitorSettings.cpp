#include "app/MonitorSettings.h"

#include <unistd.h>

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>

#include "platform/FileUtil.h"

MonitorSettings DefaultSettings() {
    MonitorSettings s;
    std::memset(&s, 0, sizeof s);
    s.refreshInterval = DEFAULT_REFRESH_INTERVAL;
    s.showWindowAtStart = 1;
    s.showPortNames = 1;
    s.ignoreHttp = 1;
    return s;
}

static void PutLe32(uint8_t* p, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}

static int32_t GetLe32(const uint8_t* p) {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(p[i]) << (8 * i);
    return static_cast<int32_t>(u);
}

std::array<uint8_t, 20> EncodeSettings(const MonitorSettings& s) {
    std::array<uint8_t, 20> b{};
    PutLe32(&b[0], s.refreshInterval);
    PutLe32(&b[4], s.displayMode);
    const uint8_t flags[12] = {s.showWindowAtStart, s.keepAccessLog, s.ignoreHttp,  s.ignoreTelnet,
                               s.ignoreFtp,         s.ignorePop3,    s.externalAlarm, s.ignoreNntp,
                               s.ignoreNetbios,     s.ignoreSmtp,    s.ignoreHttps, s.showPortNames};
    std::memcpy(&b[8], flags, 12);
    return b;
}

MonitorSettings DecodeSettings(const uint8_t* bytes, size_t length) {
    std::array<uint8_t, 20> b = EncodeSettings(DefaultSettings());
    std::memcpy(b.data(), bytes, length < b.size() ? length : b.size());
    MonitorSettings s;
    s.refreshInterval = GetLe32(&b[0]);
    s.displayMode = GetLe32(&b[4]);
    uint8_t* flags[12] = {&s.showWindowAtStart, &s.keepAccessLog, &s.ignoreHttp,  &s.ignoreTelnet,
                          &s.ignoreFtp,         &s.ignorePop3,    &s.externalAlarm, &s.ignoreNntp,
                          &s.ignoreNetbios,     &s.ignoreSmtp,    &s.ignoreHttps, &s.showPortNames};
    for (int i = 0; i < 12; ++i) *flags[i] = b[8 + i];
    return s;
}

bool ReadSettingsFile(const std::string& path, MonitorSettings& out) {
    // Anything but a regular file (a FIFO would hang start-up) counts as missing.
    const int fd = OpenRegularFileForReading(path);
    if (fd < 0) return false;
    uint8_t buf[20];
    size_t n = 0;
    while (n < sizeof buf) {
        const ssize_t got = ::read(fd, buf + n, sizeof buf - n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        n += static_cast<size_t>(got);
    }
    ::close(fd);
    out = DecodeSettings(buf, n);
    return true;
}

bool WriteSettingsFile(const std::string& path, const MonitorSettings& s) {
    const auto bytes = EncodeSettings(s);
    return ReplaceFile(path, bytes.data(), bytes.size());
}

IgnoreFlags IgnoreFlagsOf(const MonitorSettings& s) {
    IgnoreFlags f;
    f.http = s.ignoreHttp != 0;
    f.https = s.ignoreHttps != 0;
    f.telnet = s.ignoreTelnet != 0;
    f.ftp = s.ignoreFtp != 0;
    f.pop3 = s.ignorePop3 != 0;
    f.nntp = s.ignoreNntp != 0;
    f.netbios = s.ignoreNetbios != 0;
    f.smtp = s.ignoreSmtp != 0;
    return f;
}

int RefreshPeriodMs(int32_t refreshInterval) {
    if (refreshInterval <= 0) refreshInterval = DEFAULT_REFRESH_INTERVAL;
    if (refreshInterval > MAX_REFRESH_INTERVAL) refreshInterval = MAX_REFRESH_INTERVAL;
    return refreshInterval * 1000;
}

namespace {

constexpr size_t MAX_PREFERENCES_BYTES = 64 * 1024;
const QString kAlarmStyleKey = QStringLiteral("alarm/style");

}  // namespace

// QSettings reads and writes only by name, in place and without bounds: it works on a
// private copy, and the file itself is read bounded and replaced whole.
MonitorPreferences ReadPreferencesFile(const std::string& path) {
    MonitorPreferences p;
    std::string bytes;
    bool cut = false;
    QTemporaryDir scratch;
    if (!ReadRegularFile(path, MAX_PREFERENCES_BYTES, bytes, &cut) || cut || !scratch.isValid()) return p;
    QFile copy(scratch.filePath(QStringLiteral("copy.conf")));
    const auto size = static_cast<qint64>(bytes.size());
    if (!copy.open(QIODevice::WriteOnly) || copy.write(bytes.data(), size) != size) return p;
    copy.close();
    QSettings ini(copy.fileName(), QSettings::IniFormat);
    if (ini.status() != QSettings::NoError) return p;
    const QString style = ini.value(kAlarmStyleKey).toString();
    if (style == QLatin1String("box")) p.alarmStyle = AlarmStyle::Box;
    else if (style == QLatin1String("notification")) p.alarmStyle = AlarmStyle::Notification;
    return p;
}

bool WritePreferencesFile(const std::string& path, const MonitorPreferences& p) {
    QTemporaryDir scratch;
    if (!scratch.isValid()) return false;
    const QString copy = scratch.filePath(QStringLiteral("copy.conf"));
    {
        QSettings ini(copy, QSettings::IniFormat);
        if (p.alarmStyle != AlarmStyle::Default)
            ini.setValue(kAlarmStyleKey, p.alarmStyle == AlarmStyle::Box ? QStringLiteral("box")
                                                                          : QStringLiteral("notification"));
        ini.sync();
        if (ini.status() != QSettings::NoError) return false;
    }
    // Nothing chosen leaves QSettings nothing to write: the file is then empty.
    std::string bytes;
    if (QFile::exists(copy) && !ReadRegularFile(copy.toStdString(), MAX_PREFERENCES_BYTES, bytes)) return false;
    return ReplaceFile(path, bytes.data(), bytes.size());
}
