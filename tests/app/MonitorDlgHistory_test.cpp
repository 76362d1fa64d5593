// Connection events in the main window: the history list, the log line and the alarm.
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTest>
#include <sys/stat.h>

#include <filesystem>

#include "support/MonitorHarness.h"
#include "log/AccessLog.h"
#include "log/CExportLogDlg.h"
#include "platform/Messages.h"
#include "monitor/ConnectionHistory.h"

namespace {

const char kConnectLine[] = "2024년 3월 5일 09:07:02 - <+++연결+++> 10.0.0.5 : telnet - blackjack";
const char kLogName[] = "20240305_tolvara.log";

QString Line(QListWidget* list, int i) { return list->item(i)->text(); }

class HistoryTest : public MonitorWindowTest {
protected:
    void SetUp() override {
        MonitorWindowTest::SetUp();
        WriteWholeFile(dir.file("services"), "telnet 23/tcp\nblackjack 1025/tcp\n");
    }
    // Starts the window with these settings in its file.
    void Start(const MonitorSettings& s) {
        WriteSettings(s);
        dlg = std::make_unique<TestMonitorDlg>();
        ASSERT_TRUE(dlg->Initialize());
        history = dlg->HistoryList();
        ASSERT_EQ(history->count(), 0);
    }
    std::unique_ptr<TestMonitorDlg> dlg;
    QListWidget* history = nullptr;
};

}  // namespace

TEST_F(HistoryTest, LinesGoOnTopInTheExactFormat) {
    Start(DefaultSettings());
    dlg->OnConnEvent("C 10.0.0.5 23 1025");
    ASSERT_EQ(history->count(), 1);
    EXPECT_EQ(Line(history, 0).toStdString(), kConnectLine);

    dlg->OnConnEvent("D 10.0.0.6 4000 44444");
    ASSERT_EQ(history->count(), 2);
    EXPECT_EQ(Line(history, 0).toStdString(), "2024년 3월 5일 09:07:02 - <---단절---> 10.0.0.6 : 4000 - Tolvara");
    EXPECT_EQ(Line(history, 1).toStdString(), kConnectLine);

    // Port names off: numbers on both sides.
    dlg->PortNames().SetShowNames(0);
    dlg->OnConnEvent("C 10.0.0.5 23 1025");
    EXPECT_EQ(Line(history, 0).toStdString(), "2024년 3월 5일 09:07:02 - <+++연결+++> 10.0.0.5 : 23 - 1025");
    // Nothing is written without the log flag.
    EXPECT_FALSE(std::filesystem::exists(dir.file(kLogName)));
}

TEST_F(HistoryTest, PostedEventsArriveThroughTheWindowHandle) {
    Start(DefaultSettings());
    ASSERT_TRUE(dlg->Handle().PostMessage(WM_CONN_EVENT, 0, "C 10.0.0.5 23 1025"));
    EXPECT_EQ(history->count(), 0);  // handled by the event loop, not by the poster
    ProcessEventsFor(20);
    ASSERT_EQ(history->count(), 1);
    EXPECT_EQ(Line(history, 0).toStdString(), kConnectLine);
}

TEST_F(HistoryTest, KeepsTheHundredNewestLines) {
    Start(DefaultSettings());
    for (int i = 1; i <= 105; ++i) dlg->OnConnEvent("C 10.0.0.5 5000 " + std::to_string(i));
    ASSERT_EQ(history->count(), MAX_HISTORY_LINES);
    EXPECT_TRUE(Line(history, 0).endsWith(QStringLiteral(" - 105")));
    EXPECT_TRUE(Line(history, 99).endsWith(QStringLiteral(" - 6")));
    // A filtered event still cuts, and adds nothing.
    dlg->OnConnEvent("C 10.0.0.5 80 1");
    EXPECT_EQ(history->count(), MAX_HISTORY_LINES);
    EXPECT_TRUE(Line(history, 0).endsWith(QStringLiteral(" - 105")));
}

TEST_F(HistoryTest, TheFilterLooksAtTheRemotePortOnly) {
    MonitorSettings s = DefaultSettings();  // HTTP ignored
    s.externalAlarm = 1;
    s.keepAccessLog = 1;
    s.ignoreTelnet = 1;
    int boxes = 0;
    SetMessageBoxHook([&](const MessageBoxRequest&) { return ++boxes, IDOK; });
    Start(s);
    const std::string startMark = ReadWholeFile(dir.file(kLogName));

    dlg->OnConnEvent("C 10.0.0.5 80 1025");
    dlg->OnConnEvent("D 10.0.0.5 23 1025");
    EXPECT_EQ(history->count(), 0);
    EXPECT_EQ(boxes, 0);
    EXPECT_EQ(ReadWholeFile(dir.file(kLogName)), startMark);

    dlg->OnConnEvent("C 10.0.0.5 3000 80");
    ASSERT_EQ(history->count(), 1);
    EXPECT_EQ(Line(history, 0).toStdString(), "2024년 3월 5일 09:07:02 - <+++연결+++> 10.0.0.5 : 3000 - 80");
    EXPECT_EQ(boxes, 1);
}

TEST_F(HistoryTest, AlarmBoxShowsTheLineAlreadyOnTop) {
    MonitorSettings s = DefaultSettings();
    s.externalAlarm = 1;
    Start(s);
    std::vector<MessageBoxRequest> boxes;
    QString topWhenOpen;
    int countWhenOpen = -1;
    SetMessageBoxHook([&](const MessageBoxRequest& r) {
        boxes.push_back(r);
        topWhenOpen = history->count() ? Line(history, 0) : QString();
        countWhenOpen = history->count();
        return IDOK;
    });
    dlg->OnConnEvent("C 10.0.0.5 23 1025");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, dlg.get());
    EXPECT_EQ(boxes[0].caption, QStringLiteral("외부 접속 경보"));
    EXPECT_EQ(boxes[0].style, MB_OK | MB_TOPMOST);
    EXPECT_EQ(boxes[0].style & 0x40000u, 0x40000u);
    EXPECT_EQ(boxes[0].text.toStdString(), kConnectLine);
    EXPECT_EQ(topWhenOpen.toStdString(), kConnectLine);
    EXPECT_EQ(countWhenOpen, 1);

    // A disconnect raises no alarm.
    dlg->OnConnEvent("D 10.0.0.5 23 1025");
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(history->count(), 2);
}

TEST_F(HistoryTest, LogGetsTheSameLineWhenLoggingIsOn) {
    MonitorSettings s = DefaultSettings();
    s.keepAccessLog = 1;
    Start(s);
    dlg->OnConnEvent("C 10.0.0.5 23 1025");
    dlg->OnConnEvent("D 10.0.0.5 23 1025");
    EXPECT_EQ(ReadWholeFile(dir.file(kLogName)),
              std::string("2024.03.05 09:07:02 - Start Log\n") + kConnectLine +
                  "\n2024년 3월 5일 09:07:02 - <---단절---> 10.0.0.5 : telnet - blackjack\n");
}

TEST_F(HistoryTest, MalformedTextsAreDropped) {
    MonitorSettings s = DefaultSettings();
    s.externalAlarm = 1;
    s.keepAccessLog = 1;
    int boxes = 0;
    SetMessageBoxHook([&](const MessageBoxRequest&) { return ++boxes, IDOK; });
    Start(s);
    const std::string startMark = ReadWholeFile(dir.file(kLogName));
    for (const std::string& text :
         {std::string(), std::string("C"), std::string("C 10.0.0.5 23"), std::string("X 10.0.0.5 23 1025"),
          std::string("C 10.0.0.5 23 1025 7"), std::string("C 10.0.0.5 -1 1025"), std::string("C 10.0.0.5 70000 1"),
          std::string("C 10.0.0.5 23 1025x"), "C " + std::string(5000, '9') + " 23 1025",
          std::string("C 10.0.0.5 2147483648 1")})
        dlg->OnConnEvent(text);
    EXPECT_EQ(history->count(), 0);
    EXPECT_EQ(boxes, 0);
    EXPECT_EQ(ReadWholeFile(dir.file(kLogName)), startMark);
}

// The whole road inside the window: a refresh finds a new established connection, the
// tracker posts its event, the handler writes the line.
TEST_F(HistoryTest, RefreshOfANewConnectionEndsInAHistoryLine) {
    Start(DefaultSettings());
    TheFakeAgent().records = {TcpRecord("10.0.0.5", 23, 1025)};
    dlg->OnTimer(TIMER_REFRESH);
    ProcessEventsFor(20);
    ASSERT_EQ(history->count(), 1);
    EXPECT_EQ(Line(history, 0).toStdString(), kConnectLine);
    TheFakeAgent().records.clear();
    dlg->OnTimer(TIMER_REFRESH);
    ProcessEventsFor(20);
    ASSERT_EQ(history->count(), 2);
    EXPECT_EQ(Line(history, 0).toStdString(), "2024년 3월 5일 09:07:02 - <---단절---> 10.0.0.5 : telnet - blackjack");
}

// A burst of events handed over in one turn puts its lines in the list before the list
// is painted again, so it is painted once, not once a line.
TEST_F(HistoryTest, ABurstOfEventsIsPaintedOnce) {
    Start(DefaultSettings());
    dlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    ProcessEventsFor(50);
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) ++paints;
            return false;
        }
    } counter;
    history->viewport()->installEventFilter(&counter);
    constexpr int kBurst = 40;
    for (int i = 0; i < kBurst; ++i)
        dlg->Handle().PostMessage(WM_CONN_EVENT, 0, "C 10.0.0.5 5000 " + std::to_string(i));
    ProcessEventsFor(100);
    ASSERT_EQ(history->count(), kBurst);
    EXPECT_GE(counter.paints, 1);
    EXPECT_LE(counter.paints, 2);
}

// Connects that arrive while an alarm box is open (its loop serves posted events) wait
// and are shown one after another; never a box inside a box, and the waiting ones are
// bounded. Every line is in the history at once.
TEST_F(HistoryTest, AlarmBoxesOpenOneAtATimeAndTheWaitingOnesAreBounded) {
    MonitorSettings s = DefaultSettings();
    s.externalAlarm = 1;
    Start(s);
    MessageBoxRecorder boxes;
    int depth = 0, deepest = 0;
    const int burst = static_cast<int>(MAX_WAITING_ALARMS) + 20;
    boxes.whileOpen = [&](const MessageBoxRequest&) {
        deepest = std::max(deepest, ++depth);
        if (boxes.boxes.size() == 1)  // a burst while the first box is open
            for (int i = 0; i < burst; ++i) dlg->OnConnEvent("C 10.0.0.5 5000 " + std::to_string(2000 + i));
        --depth;
    };
    dlg->OnConnEvent("C 10.0.0.5 5000 1999");
    EXPECT_EQ(deepest, 1);
    ASSERT_EQ(boxes.boxes.size(), 1u + MAX_WAITING_ALARMS);
    EXPECT_TRUE(boxes.boxes[1].text.endsWith(QStringLiteral(" - 2000")));
    EXPECT_TRUE(boxes.boxes.back().text.endsWith(QString::fromStdString(" - " + std::to_string(2000 + MAX_WAITING_ALARMS - 1))));
    EXPECT_EQ(history->count(), 1 + burst);
    EXPECT_TRUE(Line(history, 0).endsWith(QString::fromStdString(" - " + std::to_string(2000 + burst - 1))));

    // Once the boxes are closed the next connect has its box again.
    dlg->OnConnEvent("C 10.0.0.6 5000 3000");
    EXPECT_EQ(boxes.boxes.size(), 2u + MAX_WAITING_ALARMS);
}

// Where the desktop's opener fails (xdg-open ends with 4 when the named program needs a
// terminal) the log shows in a window of our own, and the window thread never waits.
TEST_F(HistoryTest, ViewingTheLogWhereTheOpenerFailsShowsItInOurOwnWindow) {
    Start(DefaultSettings());
    TempDir bin;
    WriteWholeFile(bin.file("xdg-mime"), "#!/bin/sh\necho org.example.Editor.desktop\n");
    WriteWholeFile(bin.file("xdg-open"), "#!/bin/sh\nsleep 0.3\nexit 4\n");
    ::chmod(bin.file("xdg-mime").c_str(), 0755);
    ::chmod(bin.file("xdg-open").c_str(), 0755);
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (bin.path() + ":" + oldPath).c_str(), 1);
    WriteWholeFile(dir.file(kLogName), "2024.03.05 09:07:02 - Start Log\n");

    QElapsedTimer t;
    t.start();
    dlg->OnCommandId(ID_VIEW_ACCESS_LOG);
    EXPECT_LT(t.elapsed(), 250);
    QWidget* viewer = nullptr;
    ProcessEventsUntil([&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == QStringLiteral("accessLogViewer") && w->isVisible()) viewer = w;
        return viewer != nullptr;
    }, 10000);
    ::setenv("PATH", oldPath.c_str(), 1);
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(viewer->windowTitle(), QString::fromLatin1(kLogName));
    auto* text = viewer->findChild<QPlainTextEdit*>();
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(text->isReadOnly());
    EXPECT_EQ(text->toPlainText(), QStringLiteral("2024.03.05 09:07:02 - Start Log\n"));
    viewer->close();
}

TEST_F(HistoryTest, TheTrayItemExportsEveryLogOfTheFolderAndTellsHowInOneBox) {
    Start(DefaultSettings());
    WriteWholeFile(dir.file("20240304_tolvara.log"), "2024.03.04 09:00:00 - Start Log\nnoise\n");
    WriteWholeFile(dir.file(kLogName), std::string(kConnectLine) + "\n");
    const std::string output = dir.file("out.jsonl");
    MessageBoxRecorder boxes;
    bool opened = false, bomEnabled = true;
    QString from, to;
    AnswerNextModal(
        [&](CDialogBase* d) {
            from = d->GetDlgItemText(IDC_EXPORT_FROM);
            to = d->GetDlgItemText(IDC_EXPORT_TO);
            d->SetDlgItemText(IDC_EXPORT_FILE, QString::fromStdString(output));
            bomEnabled = d->GetDlgItem(IDC_EXPORT_BOM)->isEnabled();
            ClickButton(d, IDOK);
        },
        &opened);
    dlg->OnCommandId(ID_EXPORT_ACCESS_LOG);
    ASSERT_TRUE(opened);
    EXPECT_EQ(from, QStringLiteral("20240304"));
    EXPECT_EQ(to, QStringLiteral("20240305"));
    EXPECT_FALSE(bomEnabled);  // JSON text has none

    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text.toStdString(), "접속 기록 2줄을 내보냈습니다: " + output +
                                                     "\n\n읽지 못해 빠진 줄 1개:\n"
                                                     "20240304_tolvara.log:2: 접속 기록의 줄이 아닙니다");
    // The names go back to numbers through the window's own table.
    const std::string json = ReadWholeFile(output);
    EXPECT_EQ(std::count(json.begin(), json.end(), '\n'), 2);
    EXPECT_NE(json.find("\"remote_port\":23,\"remote_service\":\"telnet\",\"local_port\":1025,"
                        "\"local_service\":\"blackjack\"}\n"),
              std::string::npos)
        << json;
}
