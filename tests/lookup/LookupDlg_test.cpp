// The computer-name and whois dialogs driven as a user would: opened from the button or
// with a list row's address, Start's enabling, results, failures and Cancel.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "LookupTestSupport.h"
#include "lookup/CComputerNameDlg.h"
#include "lookup/CWhoisDlg.h"
#include "platform/IpAddressWidget.h"
#include "support/NetNamespace.h"
#include "support/WidgetSupport.h"

namespace {

const QString kQuerying = QString::fromUtf8(kWhoisQueryingText);
const QString kFailed = QString::fromUtf8(kWhoisFailedText);

const std::string kPage =
    "HTTP/1.1 200 OK\r\n\r\n<html><pre>\nquery: 10.1.2.3\n\nnetname : EXAMPLE-NET\r\n</pre></html>";

class LookupDlgTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        TestApp();
        // The thread sanitizer starts a thread of its own at the first thread a program
        // starts; have that happen before threads are counted.
        std::thread([] {}).join();
    }
    void SetUp() override {
        ::unsetenv("TOLVARA_WHOIS_SERVER");
        ::unsetenv("TOLVARA_WHOIS_ROOT");
    }
    void TearDown() override { SetUp(); }
};

// Nothing here needs pixels, and Qt's painting hands work to a thread pool of its own
// that the thread sanitizer cannot see into.
int RunModal(CDialogBase& dlg) {
    dlg.setAttribute(Qt::WA_DontShowOnScreen);
    return dlg.DoModal();
}

bool Enabled(CDialogBase& dlg, int id) { return dlg.GetDlgItem(id)->isEnabled(); }

template <class Dlg>
void CheckStartEnabling(int startId) {
    // From the button (no preset), from a right-clicked row, and from a row whose
    // address reads as none (a listener's 0.0.0.0).
    for (const auto& [preset, ready] : {std::pair{"", false}, {"192.0.2.44", true}, {"0.0.0.0", false}}) {
        Dlg dlg;
        dlg.SetPresetAddress(preset);
        dlg.OnInitDialog();
        EXPECT_EQ(dlg.GetDlgItemText(IDC_IP_ADDRESS), ready ? preset : "0.0.0.0");
        EXPECT_EQ(Enabled(dlg, startId), ready) << preset;
    }
    Dlg dlg;
    dlg.OnInitDialog();
    auto* ip = dlg.template Item<IpAddressWidget>(IDC_IP_ADDRESS);
    QTest::keyClicks(ip->field(0), "10");
    EXPECT_TRUE(Enabled(dlg, startId));
    ip->setAddress("0.0.0.0");
    EXPECT_FALSE(Enabled(dlg, startId));
}

}  // namespace

TEST_F(LookupDlgTest, StartIsEnabledExactlyWhileAnAddressIsThere) {
    CheckStartEnabling<CComputerNameDlg>(IDC_START_LOOKUP);
    CheckStartEnabling<CWhoisDlg>(IDC_START_WHOIS);
}

TEST_F(LookupDlgTest, ComputerNameLookUpFromAPresetAddressByEnter) {
    if (const std::string why = NamespaceUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
    // The official name is the line's first name, not an alias.
    ResolverSandbox sandbox("127.0.0.1 official.tolvara.test alias.tolvara.test\n");
    ASSERT_EQ(sandbox.error(), "");
    CComputerNameDlg dlg;
    dlg.SetPresetAddress("127.0.0.1");
    QString found, missing;
    AnswerNextModal([&](CDialogBase* d) {
        // Start is the default button, so Enter looks up.
        QTest::keyClick(d, Qt::Key_Return);
        found = d->GetDlgItemText(IDC_NAME_RESULT);
        // The name server of the namespace does not answer, so an unknown address fails at once.
        d->SetDlgItemText(IDC_IP_ADDRESS, "127.0.0.9");
        const auto started = std::chrono::steady_clock::now();
        ClickButton(d, IDC_START_LOOKUP);
        missing = d->GetDlgItemText(IDC_NAME_RESULT);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
        d->EndDialog(IDOK);
    });
    EXPECT_EQ(RunModal(dlg), IDOK);
    EXPECT_EQ(found, QString::fromUtf8("IP 주소 127.0.0.1에 설정된 컴퓨터 이름은 official.tolvara.test 입니다."));
    EXPECT_EQ(missing, QString::fromUtf8("IP 주소 127.0.0.9의 컴퓨터 이름을 알 수 없습니다."));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    // A name is never taken for markup.
    EXPECT_EQ(dlg.Item<QLabel>(IDC_NAME_RESULT)->textFormat(), Qt::PlainText);
}

// An IPv6 row's address reaches both look-ups whole: shown in the address control,
// looked up by name, and asked of the whois server without its zone.
TEST_F(LookupDlgTest, IPv6AddressIsLookedUpAndQueried) {
    if (const std::string why = NamespaceUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
    ResolverSandbox sandbox("::1 six.tolvara.test\n");
    ASSERT_EQ(sandbox.error(), "");
    CComputerNameDlg names;
    names.SetPresetAddress("::1");
    QString found;
    AnswerNextModal([&](CDialogBase* d) {
        EXPECT_TRUE(Enabled(*d, IDC_START_LOOKUP));
        ClickButton(d, IDC_START_LOOKUP);
        found = d->GetDlgItemText(IDC_NAME_RESULT);
        d->EndDialog(IDOK);
    });
    RunModal(names);
    EXPECT_EQ(found, QString::fromUtf8("IP 주소 ::1에 설정된 컴퓨터 이름은 six.tolvara.test 입니다."));

    ScriptedServer server({"inet6num: 2001:db8::/32\n"});
    ::setenv("TOLVARA_WHOIS_ROOT", server.endpoint().c_str(), 1);
    CWhoisDlg whois;
    whois.SetPresetAddress("2001:db8::7%lo");
    QString shown;
    AnswerNextModal([&](CDialogBase* d) {
        EXPECT_EQ(d->GetDlgItemText(IDC_IP_ADDRESS), "2001:db8::7%lo");
        ClickButton(d, IDC_START_WHOIS);
        ProcessEventsUntil([&] { return d->GetDlgItemText(IDC_WHOIS_RESULT) != kQuerying; });
        shown = d->GetDlgItemText(IDC_WHOIS_RESULT);
        d->EndDialog(IDCANCEL);
    });
    RunModal(whois);
    EXPECT_TRUE(shown.contains(QStringLiteral("inet6num: 2001:db8::/32"))) << shown.toStdString();
    EXPECT_EQ(server.Requests(), std::vector<std::string>{"2001:db8::7\r\n"});

}

TEST_F(LookupDlgTest, WhoisShowsTheRecordOrTheFailureAndReturnsToIdle) {
    ScriptedServer server({kPage});
    const std::string refused = "127.0.0.1:" + std::to_string(RefusingPort());
    // A server that cannot be reached ends the wait too.
    const std::vector<std::pair<std::string, QString>> cases = {
        {server.endpoint(), "query: 10.1.2.3\n\nnetname : EXAMPLE-NET\n"}, {refused, kFailed}};
    CWhoisDlg dlg;
    dlg.SetPresetAddress("10.1.2.3");
    AnswerNextModal([&](CDialogBase* d) {
        for (const auto& [endpoint, shown] : cases) {
            ::setenv("TOLVARA_WHOIS_SERVER", endpoint.c_str(), 1);
            ClickButton(d, IDC_START_WHOIS);
            EXPECT_EQ(d->GetDlgItemText(IDC_WHOIS_RESULT), kQuerying);
            EXPECT_FALSE(Enabled(*d, IDC_START_WHOIS) || Enabled(*d, IDC_IP_ADDRESS));
            ProcessEventsUntil([&] { return d->GetDlgItemText(IDC_WHOIS_RESULT) != kQuerying; });
            EXPECT_EQ(d->GetDlgItemText(IDC_WHOIS_RESULT), shown);
            EXPECT_TRUE(Enabled(*d, IDC_START_WHOIS) && Enabled(*d, IDC_IP_ADDRESS));
        }
        d->EndDialog(IDCANCEL);
    });
    RunModal(dlg);
}

TEST_F(LookupDlgTest, CancelClosesAtOnceAndLeavesNoThreadOrSocketBehind) {
    // By Escape with the dialog kept, and by the Cancel button with it then destroyed
    // (and its own descriptors with it); the server never answers and never lets go.
    for (const bool keep : {true, false}) {
        SilentServer server;
        ::setenv("TOLVARA_WHOIS_SERVER", server.endpoint().c_str(), 1);
        const ProcessCounts withoutDialog = ProcessCounts::Now();
        auto dlg = std::make_unique<CWhoisDlg>();
        dlg->SetPresetAddress("10.1.2.3");
        std::weak_ptr<ThreadLink> block;
        ProcessCounts before;
        auto cancelled = std::chrono::steady_clock::now();
        AnswerNextModal([&](CDialogBase* d) {
            before = ProcessCounts::Now();
            ClickButton(d, IDC_START_WHOIS);
            block = dlg->QueryLink();
            // The worker's thread and socket, waiting for a reply.
            const ProcessCounts querying{before.threads + 1, before.descriptors + 1};
            ASSERT_TRUE(WaitFor([&] { return ProcessCounts::Now() == querying; }));
            ProcessEventsFor(200);
            cancelled = std::chrono::steady_clock::now();
            if (keep) QTest::keyClick(d, Qt::Key_Escape);
            else ClickButton(d, IDCANCEL);
        });
        EXPECT_EQ(RunModal(*dlg), IDCANCEL);
        EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(1));
        if (!keep) dlg.reset();
        EXPECT_TRUE(WaitFor([&] { return block.expired(); }, 500)) << keep;
        const ProcessCounts expected = keep ? before : withoutDialog;
        EXPECT_TRUE(WaitFor([&] { return ProcessCounts::Now() == expected; }, 500))
            << keep << ": " << ProcessCounts::Now().threads << " threads and " << ProcessCounts::Now().descriptors
            << " descriptors for " << expected.threads << " and " << expected.descriptors;
        ProcessEventsFor(100);
        if (keep) {
            EXPECT_EQ(dlg->GetDlgItemText(IDC_WHOIS_RESULT), kQuerying);
        }
    }
}
