// The send-message dialog: when OK may be pressed, what OK yields, and what goes out.
#include "messaging/CSendMessageDlg.h"

#include <gtest/gtest.h>

#include <QLineEdit>
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

// Runs the dialog with `act` inside it, then sends as the main window does after OK.
Sent RunAndSend(CSendMessageDlg& dlg, std::function<void(CDialogBase*)> act) {
    AnswerNextModal(std::move(act));
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
