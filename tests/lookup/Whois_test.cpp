// Whois queries against servers of the test's own: the form request on the wire, the
// receive loop's stop tests, the record shown, cancelling, and the port-43 path with
// its referral inside a namespace whose names only the test's hosts file knows.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "LookupTestSupport.h"
#include "lookup/WhoisWorker.h"
#include "platform/Messages.h"
#include "platform/TextUtil.h"
#include "support/NetNamespace.h"

namespace {

std::shared_ptr<ThreadLink> NewLink(const WindowRef& window, const char* address = "10.1.2.3") {
    auto link = std::make_shared<ThreadLink>();
    std::snprintf(link->address, sizeof link->address, "%s", address);
    link->hwnd = window;
    link->status.store(1);
    return link;
}

WhoisConfig FormAt(const ScriptedServer& server) {
    return WhoisConfigFrom(server.endpoint().c_str(), nullptr);
}

// Runs one query to its end; the reply the worker handed over, or "(none)" when it
// posted nothing.
std::string AskToEnd(const WhoisConfig& config, const char* address = "10.1.2.3") {
    PostRecorder window;
    auto link = NewLink(window.window, address);
    RunWhoisWorker(link, config);
    if (window.Count() != 1 || !link->text) return "(none)";
    return *link->text;
}

// Starts a query against a server that holds the connection; tells whether the worker
// delivered while the server still held it, then lets the server go.
struct HeldQuery {
    PostRecorder window;
    std::shared_ptr<ThreadLink> link;
    bool deliveredWhileHeld = false;

    HeldQuery(ScriptedServer& server, int waitMs) : link(NewLink(window.window)) {
        EXPECT_TRUE(StartWhoisWorker(link, FormAt(server)));
        deliveredWhileHeld = window.WaitForPosts(1, waitMs);
        server.Release();
        EXPECT_TRUE(window.WaitForPosts(1));
    }
    std::string Reply() const { return link->text ? *link->text : "(none)"; }
};

const std::string kPage =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html><body><pre>header</pre><pre>\n"
    "query: 10.1.2.3\n\nIPv4 address : 10.1.2.0 - 10.1.2.255\r\nname : EXAMPLE-NET\n</pre></body>";

}  // namespace

TEST(WhoisFormTest, RequestArrivesByteForByte) {
    ScriptedServer server({kPage + "</html>"});
    AskToEnd(FormAt(server));
    ASSERT_TRUE(server.WaitForRequests(1));
    const std::string expected =
        "POST /cgi-bin/newwhois.cgi HTTP/1.1\n"
        "Accept: */*\n"
        "Accept-Language: ko\n"
        "Content-Type: application/x-www-form-urlencoded\n"
        "Accept-Encoding: gzip, deflate\n"
        "User-Agent: Mozilla/4.0 (compatible; MSIE 5.0; Windows 98; DigExt)\n"
        "Host: 127.0.0.1\n"
        "Content-Length: 25\n"
        "Connection: Keep-Alive\n"
        "\n"
        "WHOISTYPE=&VALUE=10.1.2.3";
    EXPECT_EQ(server.Requests().at(0), expected);
    // The body length follows the address.
    EXPECT_NE(FormatWhoisRequest("192.0.2.1", "192.168.100.200").find("Content-Length: 32\n"), std::string::npos);
}

TEST(WhoisFormTest, RecordRunsFromQueryToPreWithCrLf) {
    std::string record;
    ASSERT_TRUE(ExtractWhoisRecord(kPage, record));
    EXPECT_EQ(record, "query: 10.1.2.3\r\n\r\nIPv4 address : 10.1.2.0 - 10.1.2.255\r\nname : EXAMPLE-NET\r\n");
    // A "</pre>" ahead of the record is passed over.
    ASSERT_TRUE(ExtractWhoisRecord("</pre>x query: a\nb</pre>", record));
    EXPECT_EQ(record, "query: a\r\nb");
    EXPECT_FALSE(ExtractWhoisRecord("<pre>query: a\n", record));
    EXPECT_FALSE(ExtractWhoisRecord("</pre> no record </pre>", record));
    EXPECT_FALSE(WhoisShownText(WhoisProtocol::Form, "").has_value());
    // A Korean page in CP949 reads as Korean.
    const std::string korean = "query: 10.1.2.3\n기관명 : 한국";
    EXPECT_EQ(WhoisShownText(WhoisProtocol::Form, Utf8ToCp949(korean) + "</pre>"), WithCrLf(korean));
}

TEST(WhoisFormTest, EndOfPageMarkersStopReceivingOnlyInTheirTwoSpellings) {
    {
        ScriptedServer server({kPage + "</HTML>"}, true);
        HeldQuery q(server, 3000);
        EXPECT_TRUE(q.deliveredWhileHeld);
        EXPECT_EQ(q.Reply(), kPage + "</HTML>");
    }
    {
        // Split across two receives: found once the second half arrives.
        ScriptedServer server({kPage + "</ht", "ml>"}, true, 200);
        HeldQuery q(server, 3000);
        EXPECT_TRUE(q.deliveredWhileHeld);
        EXPECT_EQ(q.Reply(), kPage + "</html>");
        EXPECT_TRUE(WhoisShownText(WhoisProtocol::Form, q.Reply()).has_value());
    }
    {
        // Any other spelling is page text: receiving goes on until the server closes.
        ScriptedServer server({kPage + "</Html>"}, true);
        HeldQuery q(server, 400);
        EXPECT_FALSE(q.deliveredWhileHeld);
        EXPECT_EQ(q.Reply(), kPage + "</Html>");
    }
}

TEST(WhoisFormTest, FullBufferStopsReceivingAndKeepsWhatFits) {
    std::string page = "HTTP/1.1 200 OK\r\n\r\n<pre>query: 10.1.2.3\nrecord</pre>";
    page.resize(WHOIS_FORM_REPLY_LIMIT, 'x');
    for (const std::string& sent : {page, page + std::string(3000, 'y')}) {
        ScriptedServer server({sent}, true);
        HeldQuery q(server, 3000);
        EXPECT_TRUE(q.deliveredWhileHeld) << sent.size();
        EXPECT_TRUE(q.Reply() == page) << q.Reply().size();
        EXPECT_EQ(WhoisShownText(WhoisProtocol::Form, q.Reply()), "query: 10.1.2.3\r\nrecord");
    }
}

TEST(WhoisFormTest, FailuresDeliverAnAnswerThatShowsAsFailed) {
    // Refused: the dialog still hears back, so it can leave its waiting state.
    const std::string refused = "127.0.0.1:" + std::to_string(RefusingPort());
    EXPECT_EQ(AskToEnd(WhoisConfigFrom(refused.c_str(), nullptr)), "");
    // Pages without one of the record's markers.
    for (const std::string& page : {std::string("HTTP/1.1 500 Error\r\n\r\n<html>down</html>"),
                                    std::string("<pre>query: 10.1.2.3\n</html>"), std::string()}) {
        ScriptedServer server({page});
        const std::string reply = AskToEnd(FormAt(server));
        EXPECT_EQ(reply, page);
        EXPECT_FALSE(WhoisShownText(WhoisProtocol::Form, reply).has_value()) << page;
    }
    // An address that is not dotted never reaches the server.
    ScriptedServer server({kPage + "</html>"});
    EXPECT_EQ(AskToEnd(FormAt(server), "1.2.3.4\r\nX: y"), "");
    EXPECT_TRUE(server.Requests().empty());
}

TEST(WhoisWorkerTest, CancelOrAClosedWindowMeansNothingIsPosted) {
    for (const bool cancel : {true, false}) {
        ScriptedServer server({}, true);
        PostRecorder window;
        auto link = NewLink(window.window);
        std::weak_ptr<ThreadLink> block = link;
        ASSERT_TRUE(StartWhoisWorker(link, FormAt(server)));
        ASSERT_TRUE(server.WaitForRequests(1));
        if (cancel) link->status.store(-1);
        else window.window.Invalidate();
        link.reset();
        // The worker waits in its receive until the server goes away, then ends alone.
        server.Release();
        EXPECT_TRUE(WaitUntilReleased(block)) << cancel;
        EXPECT_EQ(window.Count(), 0u) << cancel;
    }
}

TEST(WhoisConfigTest, SettingsChooseTheServerAndNeverFallBackWhenUnreadable) {
    WhoisConfig c = WhoisConfigFrom(nullptr, nullptr);
    EXPECT_EQ(c.protocol, WhoisProtocol::Rfc3912);
    EXPECT_EQ(c.server.host, "whois.iana.org");
    EXPECT_EQ(c.server.port, 43);
    c = WhoisConfigFrom("", "127.0.0.1:4343");
    EXPECT_TRUE(c.valid && c.protocol == WhoisProtocol::Rfc3912 && c.server.host == "127.0.0.1" && c.server.port == 4343);
    c = WhoisConfigFrom("192.0.2.7", "127.0.0.1:4343");
    EXPECT_TRUE(c.valid && c.protocol == WhoisProtocol::Form && c.server.host == "192.0.2.7" && c.server.port == 80);
    c = WhoisConfigFrom("192.0.2.7:8080", nullptr);
    EXPECT_TRUE(c.valid && c.server.port == 8080);
    for (const char* bad : {"whois.example", "192.0.2.7:0", "192.0.2.7:65536", "192.0.2.7:", "192.0.2.7:80x"})
        EXPECT_FALSE(WhoisConfigFrom(bad, nullptr).valid) << bad;
    for (const char* bad : {":43", "a b:43", "host:99999"}) EXPECT_FALSE(WhoisConfigFrom(nullptr, bad).valid) << bad;
    // An unreadable setting fails the query without going anywhere.
    c = WhoisConfigFrom(nullptr, "host:99999");
    EXPECT_EQ(AskToEnd(c), "");
}

TEST(WhoisRecordTest, ReferralRecordAndCharacterSet) {
    WhoisEndpoint next;
    ASSERT_TRUE(FindReferral("% comment\n\nReFer:    whois.registry.test  \r\nwhois: other\n", next));
    EXPECT_EQ(next.host, "whois.registry.test");
    EXPECT_EQ(next.port, 43);
    ASSERT_TRUE(FindReferral("refer: whois://whois.registry.test:4343/\n", next));
    EXPECT_EQ(next.port, 4343);
    EXPECT_FALSE(FindReferral("inetnum: 10.0.0.0\nreferral-note: x\n", next));
    EXPECT_FALSE(FindReferral("refer:\n", next));

    EXPECT_FALSE(HasWhoisRecord(""));
    EXPECT_FALSE(HasWhoisRecord("% no entries found\r\n\r\n# end\n"));
    EXPECT_TRUE(HasWhoisRecord("% note\ninetnum: 10.0.0.0\n"));

    const std::string korean = "기관명: 한국인터넷";
    EXPECT_EQ(DecodeWhoisText(korean), korean);
    EXPECT_EQ(DecodeWhoisText(Utf8ToCp949(korean)), korean);
    // A UTF-8 reply cut inside its last character by a full buffer stays UTF-8.
    EXPECT_EQ(DecodeWhoisText(korean.substr(0, korean.size() - 1)), "기관명: 한국인터");
}

// Port 43, in a namespace of the test's own: the root names the registry by a name
// that only this hosts file knows.
class WhoisPort43Test : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = NamespaceUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
        sandbox_ = std::make_unique<ResolverSandbox>(
            "127.0.0.1 whois.root.test\n127.0.0.2 whois.registry.test\n127.0.0.3 whois.silent.test\n");
        ASSERT_EQ(sandbox_->error(), "");
    }
    void TearDown() override { sandbox_.reset(); }
    WhoisConfig Root() const { return WhoisConfigFrom(nullptr, "whois.root.test:43"); }
    std::unique_ptr<ResolverSandbox> sandbox_;
};

const std::string kRootReply =
    "% root whois server\n\nrefer:        whois.registry.test\n\ninetnum:      10.0.0.0 - 10.255.255.255\n";

TEST_F(WhoisPort43Test, ReferralIsFollowedOnceAndTheRegistrysRecordIsShown) {
    const std::string record = "inetnum:  10.1.2.0 - 10.1.2.255\r\nnetname:  EXAMPLE\n기관명:   한국 예제\n";
    for (const bool cp949 : {false, true}) {
        ScriptedServer root({kRootReply}, false, 0, "127.0.0.1", 43);
        // Referring back to the root goes no further.
        ScriptedServer registry({cp949 ? Utf8ToCp949(record) : record, "refer: whois.root.test\n"}, false, 0,
                                "127.0.0.2", 43);
        const std::string reply = AskToEnd(Root());
        ASSERT_TRUE(root.WaitForRequests(1));
        ASSERT_TRUE(registry.WaitForRequests(1));
        EXPECT_EQ(root.Requests(), std::vector<std::string>{"10.1.2.3\r\n"});
        EXPECT_EQ(registry.Requests(), std::vector<std::string>{"10.1.2.3\r\n"});
        EXPECT_EQ(WhoisShownText(WhoisProtocol::Rfc3912, reply),
                  "inetnum:  10.1.2.0 - 10.1.2.255\r\nnetname:  EXAMPLE\r\n기관명:   한국 예제\r\n"
                  "refer: whois.root.test\r\n")
            << cp949;
    }
}

TEST_F(WhoisPort43Test, RootAnswerWithoutReferralIsTheRecordAndMissingAnswersFail) {
    {
        ScriptedServer root({"inetnum: 10.0.0.0 - 10.255.255.255\nstatus: RESERVED\n"}, false, 0, "127.0.0.1", 43);
        EXPECT_EQ(WhoisShownText(WhoisProtocol::Rfc3912, AskToEnd(Root())),
                  "inetnum: 10.0.0.0 - 10.255.255.255\r\nstatus: RESERVED\r\n");
    }
    // The registry has only comments, refuses, or has a name nobody knows.
    for (const std::string refer : {"whois.registry.test", "whois.silent.test", "whois.unknown.test"}) {
        ScriptedServer root({"refer: " + refer + "\ninetnum: 10.0.0.0\n"}, false, 0, "127.0.0.1", 43);
        ScriptedServer registry({"% no entries found\n"}, false, 0, "127.0.0.2", 43);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_FALSE(WhoisShownText(WhoisProtocol::Rfc3912, AskToEnd(Root())).has_value()) << refer;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3)) << refer;
    }
    // No root at all.
    EXPECT_EQ(AskToEnd(Root()), "");
}
