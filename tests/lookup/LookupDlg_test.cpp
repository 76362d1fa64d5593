// The computer-name and whois dialogs driven as a user would: opened from the button or
// with a list row's address, Start's enabling, results, failures and Cancel.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <chrono>
#include <cstdlib>

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
    static void SetUpTestSuite() { TestApp(); }
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
    {
        Dlg dlg;
        dlg.SetPresetAddress("");
        dlg.OnInitDialog();
        EXPECT_EQ(dlg.GetDlgItemText(IDC_IP_ADDRESS), "0.0.0.0");
        EXPECT_FALSE(Enabled(dlg, startId));
        auto* ip = dlg.template Item<IpAddressWidget>(IDC_IP_ADDRESS);
        QTest::keyClicks(ip->field(0), "10");
        EXPECT_TRUE(Enabled(dlg, startId));
        ip->setAddress("0.0.0.0");
        EXPECT_FALSE(Enabled(dlg, startId));
    }
    {
        // Opened from a right-clicked row: the address is there and Start is ready.
        Dlg dlg;
        dlg.SetPresetAddress("192.0.2.44");
        dlg.OnInitDialog();
        EXPECT_EQ(dlg.GetDlgItemText(IDC_IP_ADDRESS), "192.0.2.44");
        EXPECT_TRUE(Enabled(dlg, startId));
    }
    // A row whose address reads as none (a listener's 0.0.0.0, or no address) offers
    // nothing to start.
    for (const char* preset : {"0.0.0.0", "not an address"}) {
        Dlg dlg;
        dlg.SetPresetAddress(preset);
        dlg.OnInitDialog();
        EXPECT_FALSE(Enabled(dlg, startId)) << preset;
    }
}

}  // namespace

TEST_F(LookupDlgTest, StartIsEnabledExactlyWhileAnAddressIsThere) {
    CheckStartEnabling<CComputerNameDlg>(IDC_START_LOOKUP);
    CheckStartEnabling<CWhoisDlg>(IDC_START_WHOIS);
}

TEST_F(LookupDlgTest, ComputerNameLookUpFromAPresetAddressByEnter) {
    if (const std::string why = NamespaceUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
    ResolverSandbox sandbox("127.0.0.1 official.tolvara.test alias\n");
    ASSERT_EQ(sandbox.error(), "");
    CComputerNameDlg dlg;
    dlg.SetPresetAddress("127.0.0.1");
    QString found, missing;
    AnswerNextModal([&](CDialogBase* d) {
        // Start is the default button, so Enter looks up.
        QTest::keyClick(d, Qt::Key_Return);
        found = d->GetDlgItemText(IDC_NAME_RESULT);
        d->SetDlgItemText(IDC_IP_ADDRESS, "127.0.0.9");
        ClickButton(d, IDC_START_LOOKUP);
        missing = d->GetDlgItemText(IDC_NAME_RESULT);
        d->EndDialog(IDOK);
    });
    EXPECT_EQ(RunModal(dlg), IDOK);
    EXPECT_EQ(found, QString::fromUtf8("IP 주소 127.0.0.1에 설정된 컴퓨터 이름은 official.tolvara.test 입니다."));
    EXPECT_EQ(missing, QString::fromUtf8("IP 주소 127.0.0.9의 컴퓨터 이름을 알 수 없습니다."));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    // A name is never taken for markup.
    EXPECT_EQ(dlg.Item<QLabel>(IDC_NAME_RESULT)->textFormat(), Qt::PlainText);
}

TEST_F(LookupDlgTest, WhoisShowsTheRecordOrTheFailureAndReturnsToIdle) {
    ScriptedServer server({kPage});
    const std::string refused = "127.0.0.1:" + std::to_string(RefusingPort());
    CWhoisDlg dlg;
    dlg.SetPresetAddress("10.1.2.3");
    QString querying, record, failed;
    bool busyWhileQuerying = false, idleAfter = false;
    AnswerNextModal([&](CDialogBase* d) {
        ::setenv("TOLVARA_WHOIS_SERVER", server.endpoint().c_str(), 1);
        ClickButton(d, IDC_START_WHOIS);
        querying = d->GetDlgItemText(IDC_WHOIS_RESULT);
        busyWhileQuerying = !Enabled(*d, IDC_START_WHOIS) && !Enabled(*d, IDC_IP_ADDRESS);
        ProcessEventsUntil([&] { return d->GetDlgItemText(IDC_WHOIS_RESULT) != kQuerying; });
        record = d->GetDlgItemText(IDC_WHOIS_RESULT);
        idleAfter = Enabled(*d, IDC_START_WHOIS) && Enabled(*d, IDC_IP_ADDRESS);
        // A server that cannot be reached ends the wait too.
        ::setenv("TOLVARA_WHOIS_SERVER", refused.c_str(), 1);
        ClickButton(d, IDC_START_WHOIS);
        ProcessEventsUntil([&] { return d->GetDlgItemText(IDC_WHOIS_RESULT) != kQuerying; });
        failed = d->GetDlgItemText(IDC_WHOIS_RESULT);
        idleAfter = idleAfter && Enabled(*d, IDC_START_WHOIS) && Enabled(*d, IDC_IP_ADDRESS);
        d->EndDialog(IDCANCEL);
    });
    RunModal(dlg);
    EXPECT_EQ(querying, kQuerying);
    EXPECT_TRUE(busyWhileQuerying);
    EXPECT_EQ(record, "query: 10.1.2.3\n\nnetname : EXAMPLE-NET\n");
    EXPECT_EQ(failed, kFailed);
    EXPECT_TRUE(idleAfter);
    EXPECT_TRUE(dlg.QueryLink().expired());
}

TEST_F(LookupDlgTest, CancelClosesAtOnceAndTheWorkerEndsWithoutTheDialog) {
    ScriptedServer server({}, true);
    ::setenv("TOLVARA_WHOIS_SERVER", server.endpoint().c_str(), 1);
    std::weak_ptr<ThreadLink> closedBlock, keptBlock;
    auto cancelled = std::chrono::steady_clock::now();
    {
        CWhoisDlg dlg;
        dlg.SetPresetAddress("10.1.2.3");
        AnswerNextModal([&](CDialogBase* d) {
            ClickButton(d, IDC_START_WHOIS);
            ASSERT_TRUE(server.WaitForRequests(1));
            closedBlock = static_cast<CWhoisDlg*>(d)->QueryLink();
            cancelled = std::chrono::steady_clock::now();
            ClickButton(d, IDCANCEL);
        });
        EXPECT_EQ(RunModal(dlg), IDCANCEL);
        EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(1));
    }
    // Escape, with the dialog object still there when the server lets go.
    ScriptedServer second({}, true);
    ::setenv("TOLVARA_WHOIS_SERVER", second.endpoint().c_str(), 1);
    CWhoisDlg kept;
    kept.SetPresetAddress("10.1.2.3");
    AnswerNextModal([&](CDialogBase* d) {
        ClickButton(d, IDC_START_WHOIS);
        ASSERT_TRUE(second.WaitForRequests(1));
        keptBlock = kept.QueryLink();
        QTest::keyClick(d, Qt::Key_Escape);
    });
    EXPECT_EQ(RunModal(kept), IDCANCEL);
    server.Release();
    second.Release();
    EXPECT_TRUE(WaitUntilReleased(closedBlock));
    EXPECT_TRUE(WaitUntilReleased(keptBlock));
    ProcessEventsFor(100);
    EXPECT_EQ(kept.GetDlgItemText(IDC_WHOIS_RESULT), kQuerying);
}

TEST_F(LookupDlgTest, WhoisWithoutAFormServerAsksPort43AndShowsKorean) {
    if (const std::string why = NamespaceUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
    ResolverSandbox sandbox("127.0.0.1 whois.root.test\n127.0.0.2 whois.registry.test\n");
    ASSERT_EQ(sandbox.error(), "");
    ScriptedServer root({"refer: whois.registry.test\n"}, false, 0, "127.0.0.1", 43);
    ScriptedServer registry({"inetnum: 10.1.2.0 - 10.1.2.255\n기관명: 한국 예제\n"}, false, 0, "127.0.0.2", 43);
    ::setenv("TOLVARA_WHOIS_ROOT", "whois.root.test:43", 1);
    CWhoisDlg dlg;
    dlg.SetPresetAddress("10.1.2.3");
    QString shown;
    AnswerNextModal([&](CDialogBase* d) {
        ClickButton(d, IDC_START_WHOIS);
        ProcessEventsUntil([&] { return d->GetDlgItemText(IDC_WHOIS_RESULT) != kQuerying; });
        shown = d->GetDlgItemText(IDC_WHOIS_RESULT);
        d->EndDialog(IDCANCEL);
    });
    RunModal(dlg);
    EXPECT_EQ(shown, QString::fromUtf8("inetnum: 10.1.2.0 - 10.1.2.255\n기관명: 한국 예제\n"));
    EXPECT_EQ(registry.Requests(), std::vector<std::string>{"10.1.2.3\r\n"});
}
