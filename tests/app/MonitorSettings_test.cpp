#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

#include "app/MonitorSettings.h"
#include "support/TestSupport.h"

namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}

TEST(MonitorSettings, DefaultsAndTheirBytes) {
    const MonitorSettings d = DefaultSettings();
    EXPECT_EQ(d.refreshInterval, 3);
    EXPECT_EQ(d.displayMode, 0);
    const auto b = EncodeSettings(d);
    EXPECT_EQ(std::string(b.begin(), b.end()),
              Bytes({3, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
}

TEST(MonitorSettings, FileRoundTripsByteForByte) {
    TempDir dir;
    const std::string path = dir.file(SETTINGS_FILE_NAME);
    // Little-endian integers, then the twelve flags in file order, with odd values.
    const std::string raw = Bytes({0x10, 0x27, 0, 0, 0xfe, 0xff, 0xff, 0xff, 0, 1, 2, 0, 255, 1, 0, 1, 0, 7, 1, 0});
    WriteWholeFile(path, raw);
    MonitorSettings s{};
    ASSERT_TRUE(ReadSettingsFile(path, s));
    EXPECT_EQ(s.refreshInterval, 10000);
    EXPECT_EQ(s.displayMode, -2);
    EXPECT_EQ(s.ignoreHttp, 2);
    EXPECT_EQ(s.ignoreFtp, 255);
    EXPECT_EQ(s.externalAlarm, 0);
    EXPECT_EQ(s.ignoreHttps, 1);
    EXPECT_EQ(s.showPortNames, 0);

    const std::string copy = dir.file("copy.ini");
    ASSERT_TRUE(WriteSettingsFile(copy, s));
    EXPECT_EQ(ReadWholeFile(copy), raw);
    struct stat st{};
    ASSERT_EQ(stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 20);
}

TEST(MonitorSettings, MissingFileIsReportedAndShortFileTakesDefaultsForTheRest) {
    TempDir dir;
    MonitorSettings s = DefaultSettings();
    EXPECT_FALSE(ReadSettingsFile(dir.file("absent"), s));

    // 7 bytes: the interval and three bytes of the display mode.
    WriteWholeFile(dir.file("short"), Bytes({5, 0, 0, 0, 1, 0, 0}));
    ASSERT_TRUE(ReadSettingsFile(dir.file("short"), s));
    EXPECT_EQ(s.refreshInterval, 5);
    EXPECT_EQ(s.displayMode, 1);  // the missing high byte is the default's 0
    const auto tail = EncodeSettings(s);
    const auto def = EncodeSettings(DefaultSettings());
    EXPECT_TRUE(std::equal(tail.begin() + 8, tail.end(), def.begin() + 8));

    WriteWholeFile(dir.file("empty"), "");
    ASSERT_TRUE(ReadSettingsFile(dir.file("empty"), s));
    EXPECT_EQ(EncodeSettings(s), def);
}

TEST(MonitorSettings, WriteReplacesWholeAndLeavesNoTemporaryFile) {
    TempDir dir;
    const std::string path = dir.file(SETTINGS_FILE_NAME);
    WriteWholeFile(path, std::string(40, 'x'));
    ASSERT_TRUE(WriteSettingsFile(path, DefaultSettings()));
    EXPECT_EQ(ReadWholeFile(path).size(), 20u);
    EXPECT_FALSE(std::ifstream(path + ".tmp").good());
    // A folder that cannot be written keeps the old file untouched.
    EXPECT_FALSE(WriteSettingsFile(dir.file("no/such/dir/TVENV.INI"), DefaultSettings()));
}

TEST(MonitorSettings, NeitherAFifoNorAPlantedLinkIsFollowed) {
    TempDir dir;
    const std::string path = dir.file(SETTINGS_FILE_NAME), victim = dir.file("victim");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", dir.file("zero").c_str()), 0);
    ::alarm(10);  // a read that blocks ends the test instead of hanging it
    MonitorSettings s = DefaultSettings();
    EXPECT_FALSE(ReadSettingsFile(path, s));
    EXPECT_FALSE(ReadSettingsFile(dir.file("zero"), s));
    ::alarm(0);

    WriteWholeFile(victim, "keep me");
    ASSERT_EQ(::symlink(victim.c_str(), (path + ".tmp").c_str()), 0);
    s.refreshInterval = 7;
    ASSERT_TRUE(WriteSettingsFile(path, s));
    EXPECT_EQ(ReadWholeFile(victim), "keep me");
    EXPECT_EQ(ReadWholeFile(path), std::string(reinterpret_cast<const char*>(EncodeSettings(s).data()), 20));
}

TEST(MonitorSettings, RefreshPeriodNeverBusyNorWrapped) {
    EXPECT_EQ(RefreshPeriodMs(3), 3000);
    EXPECT_EQ(RefreshPeriodMs(0), 3000);
    EXPECT_EQ(RefreshPeriodMs(-5), 3000);
    EXPECT_EQ(RefreshPeriodMs(MAX_REFRESH_INTERVAL), MAX_REFRESH_INTERVAL * 1000);
    EXPECT_EQ(RefreshPeriodMs(2147483647), MAX_REFRESH_INTERVAL * 1000);
}

}  // namespace

namespace {

MonitorSettings NoFlags() {
    MonitorSettings s = DefaultSettings();
    for (uint8_t* f : {&s.ignoreHttp, &s.ignoreTelnet, &s.ignoreFtp, &s.ignorePop3, &s.ignoreNntp,
                       &s.ignoreNetbios, &s.ignoreSmtp, &s.ignoreHttps})
        *f = 0;
    return s;
}

}  // namespace

// The settings record's flags decide which remote ports the history leaves out.
TEST(PortFilter, EachFlagSilencesItsPortsOnly) {
    const std::vector<std::pair<uint8_t MonitorSettings::*, std::vector<int>>> table = {
        {&MonitorSettings::ignoreFtp, {20, 21}},   {&MonitorSettings::ignoreTelnet, {23}},
        {&MonitorSettings::ignoreSmtp, {25}},      {&MonitorSettings::ignoreHttp, {80}},
        {&MonitorSettings::ignorePop3, {110}},     {&MonitorSettings::ignoreNntp, {119}},
        {&MonitorSettings::ignoreNetbios, {139}},  {&MonitorSettings::ignoreHttps, {443}},
    };
    const std::vector<int> probes = {0, 19, 20, 21, 22, 23, 25, 80, 110, 119, 137, 139, 443, 3000, 8080, 44444};
    for (const auto& [flag, ports] : table) {
        MonitorSettings s = NoFlags();
        s.*flag = 1;
        for (int port : probes) {
            const bool listed = std::find(ports.begin(), ports.end(), port) != ports.end();
            EXPECT_EQ(IsIgnoredPort(IgnoreFlagsOf(s), port), listed) << "port " << port;
        }
    }
    for (int port : probes) EXPECT_FALSE(IsIgnoredPort(IgnoreFlagsOf(NoFlags()), port));
}

TEST(PortFilter, DefaultsIgnoreOnlyHttpAndAnyNonZeroFlagCounts) {
    MonitorSettings s = DefaultSettings();
    EXPECT_TRUE(IsIgnoredPort(IgnoreFlagsOf(s), 80));
    for (int port : {20, 21, 23, 25, 110, 119, 139, 443, 3000}) EXPECT_FALSE(IsIgnoredPort(IgnoreFlagsOf(s), port));
    s = NoFlags();
    s.ignoreTelnet = 0xFF;
    EXPECT_TRUE(IsIgnoredPort(IgnoreFlagsOf(s), 23));
}

// The preferences beside TVENV.INI: whatever is wrong with the file leaves the
// defaults, and a write replaces it whole without touching TVENV.INI.
TEST(Preferences, BrokenFilesGiveDefaultsAndWritesReplaceTheFileWhole) {
    TempDir dir;
    const std::string path = dir.file(PREFERENCES_FILE_NAME);
    EXPECT_EQ(ReadPreferencesFile(path).alarmStyle, AlarmStyle::Default);  // missing
    const std::string big = "[alarm]\nstyle=box\n;" + std::string(70000, 'x') + "\n";
    for (const std::string& broken : {std::string("[alarm]\nstyle=sideways\n"), std::string("\xff\xfe[[[=\n\0\x01", 9),
                                      std::string("style=box\n"), big}) {
        WriteWholeFile(path, broken);
        EXPECT_EQ(ReadPreferencesFile(path).alarmStyle, AlarmStyle::Default) << broken.substr(0, 40);
    }
    ::unlink(path.c_str());
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);  // nothing writes it: a read must not wait
    EXPECT_EQ(ReadPreferencesFile(path).alarmStyle, AlarmStyle::Default);
    ::unlink(path.c_str());

    const std::string settings(20, '\x01');
    WriteWholeFile(dir.file(SETTINGS_FILE_NAME), settings);
    ASSERT_TRUE(WritePreferencesFile(path, {AlarmStyle::Box}));
    EXPECT_EQ(ReadWholeFile(path), "[alarm]\nstyle=box\n");
    EXPECT_EQ(ReadPreferencesFile(path).alarmStyle, AlarmStyle::Box);
    // A second name for the old file still holds all of it: the new one is a new file
    // renamed over the name, so no reader ever sees one half-written.
    ASSERT_EQ(::link(path.c_str(), dir.file("before").c_str()), 0);
    ASSERT_TRUE(WritePreferencesFile(path, {AlarmStyle::Notification}));
    EXPECT_EQ(ReadWholeFile(dir.file("before")), "[alarm]\nstyle=box\n");
    EXPECT_EQ(ReadPreferencesFile(path).alarmStyle, AlarmStyle::Notification);
    ASSERT_TRUE(WritePreferencesFile(path, {}));
    EXPECT_EQ(ReadWholeFile(path), "");
    EXPECT_EQ(ReadWholeFile(dir.file(SETTINGS_FILE_NAME)), settings);
    size_t files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++files;
    EXPECT_EQ(files, 3u);  // no temporary left behind
}
