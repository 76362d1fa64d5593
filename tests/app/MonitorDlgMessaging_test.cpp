// Messages through the main window: the mailslot shown one message per tick, markup
// shown as text in a box that fits the screen, a second copy without a mailslot, the
// send-message command both ways with the peer message confirmed once, and a message
// from another computer on a test LAN.
#include <QClipboard>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTextEdit>

#include "messaging/MessengerNetns.h"
#include "support/MonitorHarness.h"

namespace {

using Boxes = std::vector<std::pair<std::string, std::string>>;  // caption, text

Boxes Seen(const MessageBoxRecorder& r) {
    Boxes seen;
    for (const MessageBoxRequest& b : r.boxes) seen.emplace_back(b.caption.toStdString(), b.text.toStdString());
    return seen;
}

const std::string kStamp = "2024년 3월 5일 09:07:02에 ";

// Runs `look` on the next real message box from inside its loop once the loop has
// turned a few times more, then closes the box.
void OnNextRealBox(std::function<void(QDialog*, QTextEdit*)> look) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, look = std::move(look), turns = 0]() mutable {
        auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!box || box->objectName() != QStringLiteral("tolvaraMessageBox") || ++turns < 5) return;
        poll->deleteLater();
        if (auto* view = box->findChild<QTextEdit*>()) look(box, view);
        else ADD_FAILURE() << "no text in the box";
        box->reject();
    });
    poll->start(10);
}

class MessagingTest : public MonitorWindowTest {};

}  // namespace

TEST_F(MessagingTest, MailslotShowsOneWaitingMessagePerTick) {
    TestMonitorDlg dlg(kWithMailslot);
    ASSERT_TRUE(dlg.Initialize());
    const std::string slot = dlg.Options().mailslotName;
    ASSERT_TRUE(WriteLocalMailslot(slot, std::string("\0PC2\0dropped", 12)));  // no sender
    for (const char* text : {"one", "two", "three"})
        ASSERT_TRUE(WriteLocalMailslot(slot, std::string("PC1\0PC2\0", 8) + text));
    ProcessEventsFor(50);  // the window drains the socket as messages arrive

    MessageBoxRecorder boxes;
    for (int tick = 0; tick < 5; ++tick) dlg.OnTimer(TIMER_MAILSLOT);
    const std::string head = kStamp + "PC1이(가) PC2에게 보낸 메시지\n\n ";
    EXPECT_EQ(Seen(boxes), (Boxes{{"Windows 메시지 서비스", head + "one"},
                                  {"Windows 메시지 서비스", head + "two"},
                                  {"Windows 메시지 서비스", head + "three"}}));
    ASSERT_FALSE(boxes.boxes.empty());
    EXPECT_EQ(boxes.boxes[0].owner, &dlg);
    EXPECT_EQ(boxes.boxes[0].style, MB_OK | MB_TOPMOST);
}

// A sender name of markup reaches a real box as the characters it is made of, and the
// box's loop goes on serving the window (an image naming /dev/zero, were it loaded,
// would never let it).
TEST_F(MessagingTest, MarkupInAMessageIsShownAsItsCharacters) {
    TestMonitorDlg dlg(kWithMailslot);
    ASSERT_TRUE(dlg.Initialize());
    const std::string sender = "<img src=\"/dev/zero\"><b>x</b>";
    ASSERT_TRUE(WriteLocalMailslot(dlg.Options().mailslotName, sender + std::string("\0PC2\0hi", 7)));
    ProcessEventsFor(50);
    QString shown;
    OnNextRealBox([&](QDialog* box, QTextEdit* view) { box->grab(), shown = view->toPlainText(); });
    dlg.OnTimer(TIMER_MAILSLOT);
    EXPECT_EQ(shown.toStdString(), kStamp + sender + "이(가) PC2에게 보낸 메시지\n\n hi");
}

// Many lines scroll and a word too long for a line wraps anywhere: the box and its
// button stay on the screen, and the text can be selected and copied, not edited.
TEST_F(MessagingTest, ABoxOfAnyTextFitsTheScreen) {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    for (const QString& text : {QString(480, QLatin1Char('\n')) + QStringLiteral("end"), QString(1100, QLatin1Char('7'))}) {
        OnNextRealBox([&](QDialog* box, QTextEdit* view) {
            auto* ok = box->findChild<QPushButton*>();
            EXPECT_TRUE(screen.contains(box->frameGeometry()));
            EXPECT_TRUE(screen.contains(QRect(ok->mapToGlobal(QPoint()), ok->size())));
            EXPECT_LE(view->document()->size().width(), view->viewport()->width());  // nothing cut off
            EXPECT_EQ(view->verticalScrollBar()->maximum() > 0, text.endsWith(QStringLiteral("end")));
            for (QKeySequence key : {QKeySequence::SelectAll, QKeySequence::Copy, QKeySequence::Delete})
                QTest::keySequence(view, key);
            EXPECT_EQ(QGuiApplication::clipboard()->text(), text);
            EXPECT_EQ(view->toPlainText(), text);
        });
        ShowMessageBox(nullptr, text, QStringLiteral("Tolvara 메시지 서비스"), MB_OK | MB_TOPMOST);
    }
}

TEST_F(MessagingTest, ASecondCopyRunsWithoutTheMailslotTimer) {
    TestMonitorDlg first(kWithMailslot);
    ASSERT_TRUE(first.Initialize());
    const std::string slot = first.Options().mailslotName;
    TestMonitorDlg second(kWithMailslot, [&](MonitorOptions& o) { o.mailslotName = slot; });
    ASSERT_TRUE(second.Initialize());
    EXPECT_NE(first.Mailslot(), nullptr);
    EXPECT_TRUE(first.MailslotTimer().isActive());
    EXPECT_EQ(second.Mailslot(), nullptr);
    EXPECT_FALSE(second.MailslotTimer().isActive());
}

// A message to this computer by name and to 127.0.0.1 by address: the mailslot message
// waits for the tick, the peer message is shown, confirmed, and the confirmation shown
// but not confirmed again.
TEST_F(MessagingTest, SendingToOneselfBothWays) {
    WriteWholeFile(dir.file("smb.conf"), "[global]\n   netbios name = testpc\n");
    TestMonitorDlg dlg(kWithMailslot, [&](MonitorOptions& o) { o.smbConf = dir.file("smb.conf"); });
    dlg.startPeerReceiver = true;
    ASSERT_TRUE(dlg.Initialize());
    MessageBoxRecorder boxes;

    AnswerNextModal([](CDialogBase* d) {
        d->Item<QLineEdit>(IDC_RECIPIENT_NAME)->setText(QStringLiteral("."));
        d->SetDlgItemText(IDC_IP_ADDRESS, QStringLiteral("127.0.0.1"));
        d->Item<QLineEdit>(IDC_MESSAGE_TEXT)->setText(QStringLiteral("안녕"));
        ClickButton(d, IDOK);
    });
    dlg.OnCommandId(ID_SEND_MESSAGE);
    ASSERT_TRUE(ProcessEventsUntil([&] { return boxes.boxes.size() >= 2; }, 5000));
    ProcessEventsFor(1200);  // time enough for a wrong third box
    dlg.OnTimer(TIMER_MAILSLOT);

    const std::string peer = kStamp + "127.0.0.1로부터 수신된 메시지\n\n ";
    EXPECT_EQ(Seen(boxes), (Boxes{{"Tolvara 메시지 서비스", peer + "안녕"},
                                  {"Tolvara 메시지 서비스", peer + "_CONFIRM_ 메시지 수신 확인"},
                                  {"Windows 메시지 서비스", kStamp + "TESTPC이(가) .에게 보낸 메시지\n\n 안녕"}}));
}

TEST_F(MessagingTest, AComputerOnTheLanReachesTheWindowByNameAndByWorkgroup) {
    if (const std::string why = NamespaceUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
    TwoComputers lan;
    std::unique_ptr<TestMonitorDlg> dlg;
    {
        // The window is PC2: its mailslot and LAN receiver live in PC2's namespace.
        TestNetns::Inside inside(lan.ns[1]);
        dlg = std::make_unique<TestMonitorDlg>(kWithMailslot, [&](MonitorOptions& o) {
            o.mailslotName = lan.mailslot;
            o.smbConf = lan.Conf(2);
            o.receiveLanMessages = true;
        });
        ASSERT_TRUE(dlg->Initialize());
    }
    lan.Send(1, "pc2", "by name");
    lan.Send(1, "WORKGROUP", "to all");
    ProcessEventsFor(100);
    MessageBoxRecorder boxes;
    dlg->OnTimer(TIMER_MAILSLOT);
    dlg->OnTimer(TIMER_MAILSLOT);
    EXPECT_EQ(Seen(boxes), (Boxes{{"Windows 메시지 서비스", kStamp + "PC1이(가) pc2에게 보낸 메시지\n\n by name"},
                                  {"Windows 메시지 서비스", kStamp + "PC1이(가) WORKGROUP에게 보낸 메시지\n\n to all"}}));
    dlg.reset();
}
