// The settings dialog's controls and how the main window applies a confirmed dialog.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTest>
#include <fstream>
#include <utility>

#include "app/CSettingsDlg.h"
#include "support/MonitorHarness.h"
#include "support/TestRecords.h"
#include "log/AccessLog.h"
#include "platform/Messages.h"

namespace {

using Trace = std::vector<std::string>;

std::string Bytes(const MonitorSettings& s) {
    const auto b = EncodeSettings(s);
    return std::string(b.begin(), b.end());
}

// The check box of each flag byte, by the byte's offset in the record.
constexpr std::pair<int, int> kFlagControls[] = {
    {8, IDC_SHOW_AT_START},   {9, IDC_KEEP_LOG},     {10, IDC_IGNORE_HTTP},  {11, IDC_IGNORE_TELNET},
    {12, IDC_IGNORE_FTP},     {13, IDC_IGNORE_POP3}, {14, IDC_ALARM},        {15, IDC_IGNORE_NNTP},
    {16, IDC_IGNORE_NETBIOS}, {17, IDC_IGNORE_SMTP}, {18, IDC_IGNORE_HTTPS}, {19, IDC_SHOW_PORT_NAMES}};

MonitorSettings WithFlagByte(int offset, uint8_t value) {
    auto b = EncodeSettings(DefaultSettings());
    for (int i = 8; i < 20; ++i) b[i] = 0;
    b[offset] = value;
    return DecodeSettings(b.data(), b.size());
}

class SettingsDlgTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { TestApp(); }
};

TEST_F(SettingsDlgTest, DisplayModeSelectsItsRadioButtonAndOtherValuesSurviveOk) {
    for (int mode : {0, 1, 2, -1}) {
        MonitorSettings s = DefaultSettings();
        s.displayMode = mode;
        CSettingsDlg dlg;
        dlg.SetRecord(&s);
        EXPECT_TRUE(dlg.OnInitDialog());
        EXPECT_EQ(dlg.IsDlgButtonChecked(IDC_SHOW_ALL), mode == 0) << mode;
        EXPECT_EQ(dlg.IsDlgButtonChecked(IDC_SHOW_CONNECTED), mode == 1) << mode;
        dlg.OnOK();
        EXPECT_EQ(s.displayMode, mode);
        EXPECT_EQ(dlg.result(), IDOK);
    }
    // Picking a button replaces an odd value.
    MonitorSettings s = DefaultSettings();
    s.displayMode = 7;
    CSettingsDlg dlg;
    dlg.SetRecord(&s);
    dlg.OnInitDialog();
    dlg.CheckDlgButton(IDC_SHOW_CONNECTED, true);
    dlg.OnOK();
    EXPECT_EQ(s.displayMode, 1);
}

TEST_F(SettingsDlgTest, EachFlagByteHasItsOwnBoxAndComesBackAsOne) {
    for (const auto& [offset, control] : kFlagControls) {
        MonitorSettings s = WithFlagByte(offset, 2);
        CSettingsDlg dlg;
        dlg.SetRecord(&s);
        dlg.OnInitDialog();
        for (const auto& [otherOffset, otherControl] : kFlagControls)
            EXPECT_EQ(dlg.IsDlgButtonChecked(otherControl), otherControl == control)
                << "byte " << offset << ", box " << otherControl;
        dlg.OnOK();
        EXPECT_EQ(Bytes(s), Bytes(WithFlagByte(offset, 1))) << "byte " << offset;
    }
    // Clearing a box writes 0.
    MonitorSettings s = WithFlagByte(19, 255);
    CSettingsDlg dlg;
    dlg.SetRecord(&s);
    dlg.OnInitDialog();
    dlg.CheckDlgButton(IDC_SHOW_PORT_NAMES, false);
    dlg.OnOK();
    EXPECT_EQ(s.showPortNames, 0);
}

TEST_F(SettingsDlgTest, IntervalFieldReplacesOnlyWithAPositiveNumber) {
    struct Case {
        const char* text;
        int32_t expected;
    };
    const Case cases[] = {
        {"10", 10},  {"0", 3},     {"", 3},          {"000", 3}, {"007", 7},
        {"86400", 86400},
        // Beyond what the timer takes: capped, never wrapped to a negative or tiny value.
        {"86401", MAX_REFRESH_INTERVAL},
        {"4294967297", MAX_REFRESH_INTERVAL},
        {"99999999999999999999999999999999999999999", MAX_REFRESH_INTERVAL},
    };
    for (const Case& c : cases) {
        MonitorSettings s = DefaultSettings();
        CSettingsDlg dlg;
        dlg.SetRecord(&s);
        dlg.OnInitDialog();
        EXPECT_EQ(dlg.GetDlgItemText(IDC_INTERVAL), QStringLiteral("3"));
        dlg.SetDlgItemText(IDC_INTERVAL, QString::fromLatin1(c.text));
        dlg.OnOK();
        EXPECT_EQ(s.refreshInterval, c.expected) << '"' << c.text << '"';
    }
}

TEST_F(SettingsDlgTest, IntervalFieldTakesDigitsOnly) {
    CSettingsDlg dlg;
    auto* edit = dlg.Item<QLineEdit>(IDC_INTERVAL);
    ASSERT_NE(edit, nullptr);
    ASSERT_NE(edit->validator(), nullptr);
    QString text = QStringLiteral("-5");
    int pos = 0;
    EXPECT_EQ(edit->validator()->validate(text, pos), QValidator::Invalid);
}

// The alarm's form is enabled only while the alarm box is ticked; a default the user
// leaves alone stays the default, which follows each run's desktop.
TEST_F(SettingsDlgTest, AlarmFormFollowsTheAlarmBoxAndAnUntouchedDefaultStays) {
    for (const bool server : {true, false}) {
        MonitorSettings s = DefaultSettings();
        AlarmStyle style = AlarmStyle::Default;
        CSettingsDlg dlg;
        dlg.SetRecord(&s);
        dlg.SetAlarmStyle(&style, server);
        dlg.OnInitDialog();
        QWidget* form = dlg.GetDlgItem(IDC_ALARM_NOTIFY);
        ASSERT_NE(form, nullptr);
        EXPECT_EQ(dlg.IsDlgButtonChecked(IDC_ALARM_NOTIFY), server);
        EXPECT_FALSE(form->isEnabled());
        dlg.CheckDlgButton(IDC_ALARM, true);
        EXPECT_TRUE(form->isEnabled());
        dlg.OnOK();
        EXPECT_EQ(style, AlarmStyle::Default);

        CSettingsDlg again;
        again.SetRecord(&s);
        again.SetAlarmStyle(&style, server);
        again.OnInitDialog();
        EXPECT_TRUE(again.GetDlgItem(IDC_ALARM_NOTIFY)->isEnabled());
        again.CheckDlgButton(IDC_ALARM_NOTIFY, !server);
        again.OnOK();
        EXPECT_EQ(style, server ? AlarmStyle::Box : AlarmStyle::Notification);
    }
}

// ---- applying the dialog in the main window ----

LocalTime FixedNoon() { return LocalTime{2024, 3, 5, 12, 0, 0}; }

class OnSettingsTest : public MonitorWindowTest {
protected:
    void SetUp() override {
        MonitorWindowTest::SetUp();
        TestClock::time = FixedNoon();
        // One row shown in every mode, which no history line is made of; a redraw has
        // every row drawn again.
        TheFakeAgent().records = {TcpRecord("10.1.2.4", 4000, 1027, STATE_CLOSE_WAIT)};
        dlg = std::make_unique<TestMonitorDlg>();
        dlg->fileSettings = DefaultSettings();
        ASSERT_TRUE(dlg->Initialize());
        ASSERT_EQ(dlg->ConnectionList().GetItemCount(), 1);
        dlg->trace.clear();
        QObject::connect(dlg->Monitor().connRows, &QAbstractItemModel::dataChanged, [this] { ++redraws; });
    }

    // Runs the settings command; `edit` sets the dialog's controls before OK or Cancel.
    void RunSettings(const std::function<void(CDialogBase*)>& edit, int button = IDOK) {
        bool seen = false;
        AnswerNextModal(
            [&](CDialogBase* d) {
                edit(d);
                ClickButton(d, button);
            },
            &seen);
        dlg->OnCommandId(ID_SETTINGS);
        ASSERT_TRUE(seen);
    }

    // Whether the rows were drawn again since the last question.
    bool Redrawn() { return std::exchange(redraws, 0) > 0; }
    std::string File() const { return ReadWholeFile(dir.file(SETTINGS_FILE_NAME)); }
    std::string Log() const { return ReadWholeFile(AccessLogPath(dir.path(), FixedNoon())); }

    void TearDown() override {
        dlg.reset();
        MonitorWindowTest::TearDown();
    }

    std::unique_ptr<TestMonitorDlg> dlg;
    int redraws = 0;
};

TEST_F(OnSettingsTest, CancelAfterChangingEverythingChangesNothing) {
    const std::string before = Bytes(dlg->Settings());
    RunSettings(
        [](CDialogBase* d) {
            d->CheckDlgButton(IDC_SHOW_CONNECTED, true);
            d->SetDlgItemText(IDC_INTERVAL, QStringLiteral("10"));
            for (const auto& [offset, control] : kFlagControls)
                d->CheckDlgButton(control, !d->IsDlgButtonChecked(control));
        },
        IDCANCEL);
    EXPECT_EQ(Bytes(dlg->Settings()), before);
    EXPECT_TRUE(dlg->trace.empty());
    EXPECT_FALSE(Redrawn());
    EXPECT_FALSE(std::ifstream(dir.file(SETTINGS_FILE_NAME)).good());
    EXPECT_EQ(dlg->RefreshTimer().interval(), 3000);
}

TEST_F(OnSettingsTest, OkWithoutChangesWritesTheFileAndNothingElse) {
    RunSettings([](CDialogBase*) {});
    EXPECT_EQ(File(), Bytes(DefaultSettings()));
    EXPECT_EQ(File().size(), 20u);
    EXPECT_TRUE(dlg->trace.empty());
    EXPECT_FALSE(Redrawn());
    EXPECT_EQ(Log(), "");
}

TEST_F(OnSettingsTest, TheAlarmsFormGoesToAFileOfItsOwnBesideTheTwentyBytes) {
    RunSettings([](CDialogBase* d) {
        d->CheckDlgButton(IDC_ALARM, true);
        d->CheckDlgButton(IDC_ALARM_NOTIFY, true);
    });
    MonitorSettings expected = DefaultSettings();
    expected.externalAlarm = 1;
    EXPECT_EQ(File(), Bytes(expected));
    EXPECT_EQ(ReadWholeFile(dir.file(PREFERENCES_FILE_NAME)), "[alarm]\nstyle=notification\n");
}

TEST_F(OnSettingsTest, ChangedIntervalRestartsTheTimerOnly) {
    RunSettings([](CDialogBase* d) { d->SetDlgItemText(IDC_INTERVAL, QStringLiteral("10")); });
    EXPECT_EQ(dlg->trace, (Trace{"KillTimer 4444", "SetTimer 4444 10000"}));
    EXPECT_EQ(dlg->RefreshTimer().interval(), 10000);
    EXPECT_TRUE(dlg->RefreshTimer().isActive());
    EXPECT_FALSE(Redrawn());
    EXPECT_EQ(dlg->Settings().refreshInterval, 10);
    EXPECT_EQ(File().substr(0, 4), std::string("\x0a\x00\x00\x00", 4));
}

// The interval field has the focus when the dialog opens and its text is selected, so
// typing a number replaces it instead of adding to it.
TEST_F(OnSettingsTest, TypingIntoTheIntervalFieldReplacesItsText) {
    RunSettings([](CDialogBase* d) {
        auto* edit = d->Item<QLineEdit>(IDC_INTERVAL);
        ASSERT_TRUE(ProcessEventsUntil([&] { return edit->hasFocus() && edit->hasSelectedText(); }, 2000));
        QTest::keyClick(edit, Qt::Key_9);
        // A mouse click only places the caret, as in any edit field.
        edit->setText(QStringLiteral("9"));
        edit->clearFocus();
        QTest::mouseClick(edit, Qt::LeftButton);
        ProcessEventsFor(20);
        EXPECT_FALSE(edit->hasSelectedText());
    });
    EXPECT_EQ(dlg->Settings().refreshInterval, 9);
    EXPECT_EQ(dlg->RefreshTimer().interval(), 9000);
}

TEST_F(OnSettingsTest, HugeIntervalRunsTheTimerAtItsCap) {
    RunSettings([](CDialogBase* d) { d->SetDlgItemText(IDC_INTERVAL, QStringLiteral("2147483648")); });
    EXPECT_EQ(dlg->RefreshTimer().interval(), MAX_REFRESH_INTERVAL * 1000);
    EXPECT_EQ(dlg->Settings().refreshInterval, MAX_REFRESH_INTERVAL);
}

TEST_F(OnSettingsTest, DisplayModeOrPortNamesRedrawTheListUnlessARefreshRuns) {
    RunSettings([](CDialogBase* d) { d->CheckDlgButton(IDC_SHOW_CONNECTED, true); });
    EXPECT_TRUE(Redrawn());
    EXPECT_EQ(dlg->Settings().displayMode, 1);
    EXPECT_TRUE(dlg->trace.empty());

    RunSettings([](CDialogBase* d) { d->CheckDlgButton(IDC_SHOW_PORT_NAMES, false); });
    EXPECT_TRUE(Redrawn());
    EXPECT_EQ(dlg->PortNames().ShowNames(), 0);

    // During a refresh the flag still reaches the services table, but the list waits.
    dlg->SetRefreshRunning(1);
    RunSettings([](CDialogBase* d) {
        d->CheckDlgButton(IDC_SHOW_PORT_NAMES, true);
        d->CheckDlgButton(IDC_SHOW_ALL, true);
    });
    EXPECT_FALSE(Redrawn());
    EXPECT_EQ(dlg->PortNames().ShowNames(), 1);
    dlg->SetRefreshRunning(0);

    // The other flags leave the list alone.
    RunSettings([](CDialogBase* d) {
        for (int box : {IDC_IGNORE_HTTP, IDC_IGNORE_TELNET, IDC_ALARM, IDC_SHOW_AT_START}) d->CheckDlgButton(box, !d->IsDlgButtonChecked(box));
    });
    EXPECT_FALSE(Redrawn());
}

TEST_F(OnSettingsTest, SwitchingTheLogWritesStartAndEndMarks) {
    RunSettings([](CDialogBase* d) { d->CheckDlgButton(IDC_KEEP_LOG, true); });
    EXPECT_EQ(dlg->trace, Trace{"WriteAccessLog 0"});
    RunSettings([](CDialogBase*) {});
    RunSettings([](CDialogBase* d) { d->CheckDlgButton(IDC_KEEP_LOG, false); });
    EXPECT_EQ(dlg->trace, (Trace{"WriteAccessLog 0", "WriteAccessLog -1"}));
    EXPECT_EQ(Log(), "2024.03.05 12:00:00 - Start Log\n2024.03.05 12:00:00 - End Log\n");
    EXPECT_EQ(File()[9], '\0');
}

TEST_F(OnSettingsTest, UnwritableFileStillAppliesTheSettings) {
    dlg->SetWorkDir(dir.file("missing-folder"));
    RunSettings([](CDialogBase* d) {
        d->SetDlgItemText(IDC_INTERVAL, QStringLiteral("5"));
        d->CheckDlgButton(IDC_KEEP_LOG, true);
    });
    EXPECT_EQ(dlg->trace, (Trace{"KillTimer 4444", "SetTimer 4444 5000", "WriteAccessLog 0"}));
    EXPECT_EQ(dlg->Settings().refreshInterval, 5);
}

}  // namespace
