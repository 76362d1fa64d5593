// Alarms as desktop notifications in the main window, over a notifier the test answers
// for the server: bursts fold into one notification, whatever the server does not take
// becomes a box, and the notification's action brings the window back.
#include <gtest/gtest.h>

#include "app/AlarmNotifications.h"
#include "support/MonitorHarness.h"

namespace {

class FakeNotifier : public DesktopNotifier {
public:
    int probes = 0;
    std::vector<NotificationRequest> requests;
    void Probe() override { ++probes; }
    void Notify(const NotificationRequest& r) override { requests.push_back(r); }
};

QString Escaped(QString s) {
    return s.replace(QLatin1Char('&'), QLatin1String("&amp;"))
        .replace(QLatin1Char('<'), QLatin1String("&lt;"))
        .replace(QLatin1Char('>'), QLatin1String("&gt;"));
}

class AlarmNotificationTest : public MonitorWindowTest {
protected:
    void Start(AlarmStyle style = AlarmStyle::Default) {
        if (!boxes) boxes.emplace();  // after the fixture has cleared every hook
        if (style != AlarmStyle::Default) {
            ASSERT_TRUE(WritePreferencesFile(dir.file(PREFERENCES_FILE_NAME), {style}));
        }
        MonitorSettings s = DefaultSettings();
        s.externalAlarm = 1;
        WriteSettings(s);
        dlg = std::make_unique<TestMonitorDlg>(false, [this](MonitorOptions& o) {
            o.notifier = [this] {
                auto n = std::make_unique<FakeNotifier>();
                fake = n.get();
                return n;
            };
        });
        ASSERT_TRUE(dlg->Initialize());
        ASSERT_EQ(fake->probes, 1);
    }
    // Connect line number i (its local port is 1000 + i) as the history shows it.
    QString Connect(int i) {
        dlg->OnConnEvent("C 10.0.0.5 3000 " + std::to_string(1000 + i));
        return dlg->HistoryList()->item(0)->text();
    }
    std::vector<QString> BoxTexts() const {
        std::vector<QString> texts;
        for (const MessageBoxRequest& r : boxes->boxes) texts.push_back(r.text);
        return texts;
    }

    std::optional<MessageBoxRecorder> boxes;
    std::unique_ptr<TestMonitorDlg> dlg;
    FakeNotifier* fake = nullptr;
};

}  // namespace

TEST_F(AlarmNotificationTest, ABurstFoldsIntoTheOpenNotificationAndItsActionShowsTheWindow) {
    Start();
    const QString first = Connect(1);  // waits for the server's answer
    EXPECT_TRUE(fake->requests.empty());
    emit fake->probed(true, true);
    ASSERT_EQ(fake->requests.size(), 1u);
    EXPECT_EQ(fake->requests[0].replacesId, 0u);
    EXPECT_EQ(fake->requests[0].body, Escaped(first));

    // Seven more while the first call is under way: one replacement, the newest five.
    std::vector<QString> lines{first};
    for (int i = 2; i <= 8; ++i) lines.push_back(Connect(i));
    EXPECT_EQ(fake->requests.size(), 1u);
    emit fake->notified(true, 7);
    ASSERT_EQ(fake->requests.size(), 2u);
    EXPECT_EQ(fake->requests[1].replacesId, 7u);
    QStringList body{QStringLiteral("외부 접속 8건 (최근 5건)")};
    for (int i = 7; i >= 3; --i) body.push_back(Escaped(lines[static_cast<size_t>(i)]));
    EXPECT_EQ(fake->requests[1].body, body.join(QLatin1Char('\n')));
    emit fake->notified(true, 7);
    EXPECT_TRUE(boxes->boxes.empty());

    // Only this notification's actions count.
    dlg->OnClose();
    emit fake->actionInvoked(8, QStringLiteral("default"));
    EXPECT_EQ(dlg->WindowVisible(), 0);
    emit fake->actionInvoked(7, QStringLiteral("show-window"));
    EXPECT_EQ(dlg->WindowVisible(), 1);
    EXPECT_TRUE(dlg->isVisible());

    // Once it is closed, the next connect is a notification of its own.
    emit fake->closed(7);
    const QString ninth = Connect(9);
    ASSERT_EQ(fake->requests.size(), 3u);
    EXPECT_EQ(fake->requests[2].replacesId, 0u);
    EXPECT_EQ(fake->requests[2].body, Escaped(ninth));
}

TEST_F(AlarmNotificationTest, WhatNoServerTakesIsABoxAndBoxesCanBeChosen) {
    Start();
    emit fake->probed(true, false);
    const QString first = Connect(1);
    ASSERT_EQ(fake->requests.size(), 1u);
    EXPECT_EQ(fake->requests[0].body, first);  // no markup: as it is
    const QString second = Connect(2), third = Connect(3);
    // The call fails: its line and those waiting are boxes, in order, and the server is
    // asked again.
    emit fake->notified(false, 0);
    EXPECT_EQ(BoxTexts(), (std::vector<QString>{first}));
    EXPECT_EQ(fake->probes, 2);
    emit fake->probed(false, false);
    EXPECT_EQ(BoxTexts(), (std::vector<QString>{first, second, third}));
    const QString fourth = Connect(4);
    EXPECT_EQ(BoxTexts().back(), fourth);
    EXPECT_EQ(fake->requests.size(), 1u);

    // Boxes by choice: the server is there, and never asked to show anything.
    boxes->boxes.clear();
    dlg.reset();
    Start(AlarmStyle::Box);
    emit fake->probed(true, true);
    const QString line = Connect(1);
    EXPECT_EQ(BoxTexts(), (std::vector<QString>{line}));
    EXPECT_TRUE(fake->requests.empty());
}
