#include "app/MonitorSettings.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

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
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    uint8_t buf[20];
    const size_t n = std::fread(buf, 1, sizeof buf, f);
    std::fclose(f);
    out = DecodeSettings(buf, n);
    return true;
}

bool WriteSettingsFile(const std::string& path, const MonitorSettings& s) {
    const auto bytes = EncodeSettings(s);
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (ok) ok = std::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(tmp.c_str());
    return ok;
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
