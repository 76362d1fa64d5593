// The send-message dialog: when OK may be pressed, what OK yields, and what goes out.
#include "messaging/CSendMessageDlg.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <QTreeWidget>

#include "platform/IpAddressWidget.h"
#include "res/Resource.h"
#include "support/WidgetSupport.h"

namespace {

using Sent = std::vector<std::string>;

bool OkEnabled(CDialogBase* d) { return d->GetDlgItem(IDOK)->isEnabled(); }
void Type(CDialogBase* d, int id, const QString& text) { d->Item<QLineEdit>(id)->insert(text); }
void TypeAddress(CDialogBase* d, const QString& dotted) {
    const QStringList parts = dotted.split('.');
    for (int i = 0; i < parts.size(); ++i) QTest::keyClicks(d->Item<IpAddressWidget>(IDC_IP_ADDRESS)->field(i), parts[i]);
}

// Key by key into whatever has the focus, as a user types; '\b' is Backspace.
void Keys(const char* keys) {
    for (; *keys; ++keys) {
        if (*keys == '\b') QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backspace);
        else QTest::keyClick(QApplication::focusWidget(), *keys);
    }
}

// Runs the dialog, active, with `act` inside it, then sends as the main window does after OK.
Sent RunAndSend(CSendMessageDlg& dlg, std::function<void(CDialogBase*)> act) {
    AnswerNextModal([act = std::move(act)](CDialogBase* d) {
        d->activateWindow();
        if (QTest::qWaitForWindowActive(d)) act(d);
    });
    if (dlg.DoModal() != IDOK) return {"cancelled"};
    Sent sent;
    dlg.DeliverMessages([&](const std::string& to, const std::string& text) { sent.push_back("mailslot " + to + " " + text); },
                        [&](const std::string& to, const std::string& text) { sent.push_back("peer " + to + " " + text); });
    return sent;
}

struct SendMessageDlg : ::testing::Test {
    static void SetUpTestSuite() { TestApp(); }
};

}  // namespace

TEST_F(SendMessageDlg, OkFollowsAMessageWithAtLeastOneDestination) {
    CSendMessageDlg dlg;
    std::vector<bool> ok;
    RunAndSend(dlg, [&](CDialogBase* d) {
        ok.push_back(OkEnabled(d));
        Type(d, IDC_MESSAGE_TEXT, "x");
        ok.push_back(OkEnabled(d));  // no destination yet
        TypeAddress(d, "127.0.0.1");
        ok.push_back(OkEnabled(d));
        d->Item<QLineEdit>(IDC_MESSAGE_TEXT)->clear();
        ok.push_back(OkEnabled(d));
        d->Item<IpAddressWidget>(IDC_IP_ADDRESS)->clear();
        Type(d, IDC_RECIPIENT_NAME, "PC2");
        Type(d, IDC_MESSAGE_TEXT, "y");
        ok.push_back(OkEnabled(d));
    });
    EXPECT_EQ(ok, (std::vector<bool>{false, false, true, false, true}));
}

TEST_F(SendMessageDlg, EachGivenDestinationGetsTheTextOnceAndCancelSendsNothing) {
    const struct {
        const char *name, *address;
        int button;
        Sent sent;
    } cases[] = {{"PC2", "10.77.0.2", IDOK, {"mailslot PC2 안녕", "peer 10.77.0.2 안녕"}},
                 {"PC2", "", IDOK, {"mailslot PC2 안녕"}},
                 {"", "10.77.0.2", IDOK, {"peer 10.77.0.2 안녕"}},
                 {"PC2", "10.77.0.2", IDCANCEL, {"cancelled"}}};
    for (const auto& c : cases) {
        CSendMessageDlg dlg;
        EXPECT_EQ(RunAndSend(dlg, [&](CDialogBase* d) {
                      Type(d, IDC_RECIPIENT_NAME, c.name);
                      TypeAddress(d, c.address);
                      Type(d, IDC_MESSAGE_TEXT, "안녕");
                      ClickButton(d, c.button);
                  }),
                  c.sent);
    }
}

TEST_F(SendMessageDlg, PresetAddressLocksTheDestinationsAndSendsOnlyTheDatagram) {
    QTreeWidget list;  // the row the context menu was opened on
    CSendMessageDlg dlg;
    dlg.addressText = (new QTreeWidgetItem(&list, QStringList{"10.0.0.5"}))->text(0).toStdString();
    bool locked = false, focused = false, okAtOpen = true;
    const Sent sent = RunAndSend(dlg, [&](CDialogBase* d) {
        locked = d->GetDlgItemText(IDC_IP_ADDRESS) == "10.0.0.5" && !d->GetDlgItem(IDC_IP_ADDRESS)->isEnabled() &&
                 !d->GetDlgItem(IDC_RECIPIENT_NAME)->isEnabled();
        focused = d->focusWidget() == d->GetDlgItem(IDC_MESSAGE_TEXT);
        okAtOpen = OkEnabled(d);
        Type(d, IDC_MESSAGE_TEXT, "hi");
        ClickButton(d, IDOK);
    });
    EXPECT_TRUE(locked && focused && !okAtOpen);
    EXPECT_EQ(sent, Sent{"peer 10.0.0.5 hi"});
}

// Keys go wherever the control's own moves put the focus. A digit after a lone 0 replaces
// it; Backspace in an empty field takes the digit before; a digit past 255 is refused;
// typed over an address, the '.' after each move is still swallowed. A dotted address
// pasted into any field, by key or by the context menu, fills all four.
TEST_F(SendMessageDlg, AddressesComeOutAsTypedOrPasted) {
    CSendMessageDlg dlg;
    Sent read;
    RunAndSend(dlg, [&](CDialogBase* d) {
        auto* ip = d->Item<IpAddressWidget>(IDC_IP_ADDRESS);
        for (const char* typed : {"192.168.0.10", "127.0.0.1", "10.200.30.4", "10.05.3.4", "1.2.\b3.4.5",
                                  "1.2\b\b\b9.8.7.6", "300.1.2.3"}) {
            ip->clear();
            ip->setFocus();
            Keys(typed);
            read.push_back(ip->text().toStdString());
        }
        ip->setFocus();
        ip->field(0)->selectAll();
        Keys("192.168.0.10");
        read.push_back(ip->text().toStdString());
        QGuiApplication::clipboard()->setText(QStringLiteral(" 10.1.2.3\n"));
        ip->field(2)->setFocus();
        QTest::keyClick(ip->field(2), Qt::Key_V, Qt::ControlModifier);
        read.push_back(ip->text().toStdString());
        QGuiApplication::clipboard()->setText(QStringLiteral("172.16.5.4"));
        QContextMenuEvent request(QContextMenuEvent::Mouse, {2, 2}, ip->field(1)->mapToGlobal(QPoint(2, 2)));
        QCoreApplication::sendEvent(ip->field(1), &request);
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            for (QAction* action : menu->actions())
                if (action->text().startsWith(QLineEdit::tr("&Paste"))) action->trigger();
            menu->close();
        }
        read.push_back(ip->text().toStdString());
    });
    EXPECT_EQ(read, (Sent{"192.168.0.10", "127.0.0.1", "10.200.30.4", "10.5.3.4", "1.3.4.5", "9.8.7.6", "30.1.2.3",
                          "192.168.0.10", "10.1.2.3", "172.16.5.4"}));
}

// The address control is one Tab stop: a cycle takes the name, the address, the message
// and Cancel (OK is disabled); Tab leaves the control from any field, and Shift+Tab
// comes back to that field.
TEST_F(SendMessageDlg, TheAddressControlIsOneTabStop) {
    CSendMessageDlg dlg;
    int presses = 0;
    std::vector<QWidget*> seen;
    RunAndSend(dlg, [&](CDialogBase* d) {
        QWidget* start = QApplication::focusWidget();
        do QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        while (++presses < 20 && QApplication::focusWidget() != start);
        d->Item<IpAddressWidget>(IDC_IP_ADDRESS)->field(2)->setFocus();
        for (Qt::Key key : {Qt::Key_Tab, Qt::Key_Backtab}) {
            QTest::keyClick(QApplication::focusWidget(), key);
            seen.push_back(QApplication::focusWidget());
        }
    });
    EXPECT_EQ(presses, 4);
    EXPECT_EQ(seen, (std::vector<QWidget*>{dlg.GetDlgItem(IDC_MESSAGE_TEXT),
                                           dlg.Item<IpAddressWidget>(IDC_IP_ADDRESS)->field(2)}));
}
