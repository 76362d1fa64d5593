#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "monitor/ConnectionHistory.h"

// The whole settings file: 20 raw bytes, two little-endian 32-bit integers and twelve
// one-byte flags (0 off, anything else on).
struct MonitorSettings {
    int32_t refreshInterval;  // seconds
    int32_t displayMode;      // 0 everything, 1 connected only
    uint8_t showWindowAtStart;
    uint8_t keepAccessLog;
    uint8_t ignoreHttp;
    uint8_t ignoreTelnet;
    uint8_t ignoreFtp;
    uint8_t ignorePop3;
    uint8_t externalAlarm;
    uint8_t ignoreNntp;
    uint8_t ignoreNetbios;
    uint8_t ignoreSmtp;
    uint8_t ignoreHttps;
    uint8_t showPortNames;
};
static_assert(sizeof(MonitorSettings) == 20, "the settings file is 20 bytes");

inline constexpr const char* SETTINGS_FILE_NAME = "TVENV.INI";
inline constexpr int DEFAULT_REFRESH_INTERVAL = 3;
// Longest refresh period the timer takes without wrapping (a day, in seconds).
inline constexpr int MAX_REFRESH_INTERVAL = 86400;

MonitorSettings DefaultSettings();
std::array<uint8_t, 20> EncodeSettings(const MonitorSettings& s);
// Bytes beyond `length` come from the defaults.
MonitorSettings DecodeSettings(const uint8_t* bytes, size_t length);

// Reads the file; false when it cannot be opened or is not a regular file (the caller
// then takes the defaults).
bool ReadSettingsFile(const std::string& path, MonitorSettings& out);
// Replaces the file whole through a fresh temporary file beside it, never one found
// under a fixed name; false when it could not be written (the old file stays).
bool WriteSettingsFile(const std::string& path, const MonitorSettings& s);

// The eight ignore flags, on for any non-zero byte.
IgnoreFlags IgnoreFlagsOf(const MonitorSettings& s);

// Refresh period the timer actually runs with: an interval of 0 or less would make a
// busy timer, so it runs at the default; a huge one is capped.
int RefreshPeriodMs(int32_t refreshInterval);

// Preferences that TVENV.INI has no room for, in an INI file beside it.
inline constexpr const char* PREFERENCES_FILE_NAME = "tolvara.conf";

enum class AlarmStyle {
    Default,       // a notification where the desktop has a server, else a box
    Box,
    Notification,  // still a box where there is no server
};

struct MonitorPreferences {
    AlarmStyle alarmStyle = AlarmStyle::Default;
};

// A missing, unreadable or broken file, or a value it does not know, leaves the
// defaults.
MonitorPreferences ReadPreferencesFile(const std::string& path);
// Replaces the file whole, as WriteSettingsFile does; false when it could not.
bool WritePreferencesFile(const std::string& path, const MonitorPreferences& p);
