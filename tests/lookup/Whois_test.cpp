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
    if (window.posts != 1 || !link->text) return "(none)";
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
        deliveredWhileHeld = WaitFor([&] { return window.posts == 1; }, waitMs);
        server.Release();
        EXPECT_TRUE(WaitFor([&] { return window.posts == 1; }));
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
}

TEST(WhoisFormTest, RecordRunsFromQueryToPreWithCrLf) {
    std::string record;
    ASSERT_TRUE(ExtractWhoisRecord(kPage, record));
    EXPECT_EQ(record, "query: 10.1.2.3\r\n\r\nIPv4 address : 10.1.2.0 - 10.1.2.255\r\nname : EXAMPLE-NET\r\n");
    // A "</pre>" ahead of the record is passed over.
    ASSERT_TRUE(ExtractWhoisRecord("</pre>x query: a\nb</pre>", record));
    EXPECT_EQ(record, "query: a\r\nb");
    // A Korean page in CP949 reads as Korean.
    const std::string korean = "query: 10.1.2.3\n기관명 : 한국";
    EXPECT_EQ(WhoisShownText(WhoisProtocol::Form, Utf8ToCp949(korean) + "</pre>"), WithCrLf(korean));
}

TEST(WhoisFormTest, OnlyTheTwoEndOfPageSpellingsStopReceivingEvenWhenSplit) {
    // A split marker is found once its second half arrives; any other spelling is page
    // text, and receiving goes on until the server closes.
    const std::vector<std::vector<std::string>> replies = {
        {kPage + "</HTML>"}, {kPage + "</ht", "ml>"}, {kPage + "</Html>"}};
    for (const auto& pieces : replies) {
        const bool ends = pieces.back() != kPage + "</Html>";
        ScriptedServer server(pieces, true, 200);
        HeldQuery q(server, ends ? 3000 : 400);
        EXPECT_EQ(q.deliveredWhileHeld, ends) << pieces.back();
        EXPECT_EQ(q.Reply(), pieces.size() == 1 ? pieces[0] : pieces[0] + pieces[1]);
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

TEST(WhoisWorkerTest, AGoneWindowIsNoticedAtTheReadTimeOutAndNothingIsPosted) {
    // The server takes the request and holds the connection without a word; a Stop, as
    // the dialog's Cancel makes, is tested with the dialog.
    ScriptedServer server({}, true);
    PostRecorder window;
    auto link = NewLink(window.window);
    std::weak_ptr<ThreadLink> block = link;
    WhoisConfig config = FormAt(server);
    config.readTimeoutMs = 300;
    ASSERT_TRUE(StartWhoisWorker(link, config));
    ASSERT_TRUE(server.WaitForRequests(1));
    window.window.Invalidate();
    link.reset();
    EXPECT_TRUE(WaitFor([&] { return block.expired(); }, 1000));
    EXPECT_EQ(window.posts, 0);
}

TEST(WhoisConfigTest, UnreadableSettingsFailWithoutFallingBackToTheDefault) {
    EXPECT_EQ(WhoisConfigFrom(nullptr, nullptr).server.host, "whois.iana.org");
    const WhoisConfig form = WhoisConfigFrom("192.0.2.7", "127.0.0.1:4343");
    EXPECT_TRUE(form.valid && form.protocol == WhoisProtocol::Form && form.server.port == 80);
    for (const char* bad : {"whois.example", "192.0.2.7:0", "192.0.2.7:65536", "192.0.2.7:80x"})
        EXPECT_FALSE(WhoisConfigFrom(bad, nullptr).valid) << bad;
    EXPECT_EQ(AskToEnd(WhoisConfigFrom(nullptr, "root.test:99999")), "");
}

// Port 43, in a namespace of the test's own: the root names the registry by a name
// that only this hosts file knows.
TEST(WhoisPort43Test, ReferralIsFollowedOnceAndOnlyARecordIsShown) {
    if (const std::string why = NamespaceUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
    ResolverSandbox sandbox(
        "127.0.0.1 whois.root.test\n127.0.0.2 whois.registry.test\n127.0.0.3 whois.silent.test\n"
        "127.0.0.4 whois.dark.test\n");
    ASSERT_EQ(sandbox.error(), "");
    // whois.dark.test drops every packet, so only the connect time-out ends a wait there.
    ASSERT_EQ(std::system("nft add table ip t && nft 'add chain ip t in { type filter hook input priority 0; }' && "
                          "nft add rule ip t in ip daddr 127.0.0.4 drop"),
              0);
    WhoisConfig config = WhoisConfigFrom(nullptr, "whois.root.test:43");
    config.connectTimeoutMs = 300;
    const std::string record = "inetnum:  10.1.2.0 - 10.1.2.255\r\n기관명:   한국 예제\n";
    for (const bool cp949 : {false, true}) {
        ScriptedServer root({"% root\n\nrefer:    whois://whois.registry.test\n\ninetnum: 10.0.0.0\n"}, false, 0,
                            "127.0.0.1", 43);
        // A referral back to the root is not followed.
        ScriptedServer registry({cp949 ? Utf8ToCp949(record) : record, "refer: whois.root.test\n"}, false, 0,
                                "127.0.0.2", 43);
        const std::string reply = AskToEnd(config);
        EXPECT_EQ(root.Requests(), std::vector<std::string>{"10.1.2.3\r\n"});
        EXPECT_EQ(registry.Requests(), std::vector<std::string>{"10.1.2.3\r\n"});
        EXPECT_EQ(WhoisShownText(WhoisProtocol::Rfc3912, reply),
                  "inetnum:  10.1.2.0 - 10.1.2.255\r\n기관명:   한국 예제\r\nrefer: whois.root.test\r\n")
            << cp949;
    }
    // The registry has only comments, refuses, or has a name nobody knows; no root.
    for (const std::string refer :
         {"whois.registry.test", "whois.silent.test", "whois.dark.test", "whois.unknown.test", ""}) {
        ScriptedServer root({"refer: " + refer + "\ninetnum: 10.0.0.0\n"}, false, 0, "127.0.0.1", refer.empty() ? 0 : 43);
        ScriptedServer registry({"% no entries found\n"}, false, 0, "127.0.0.2", 43);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_FALSE(WhoisShownText(WhoisProtocol::Rfc3912, AskToEnd(config)).has_value()) << refer;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3)) << refer;
    }
    // A referral to another port (a mail server's, say) is not followed: the root's
    // record is what shows.
    {
        const std::string rootReply = "refer: 127.0.0.2:25\ninetnum: 10.0.0.0\n";
        ScriptedServer root({rootReply}, false, 0, "127.0.0.1", 43);
        ScriptedServer mail({"220 mail\r\n"}, false, 0, "127.0.0.2", 25);
        EXPECT_EQ(AskToEnd(config), rootReply);
        EXPECT_TRUE(mail.Requests().empty());
    }
    // A UTF-8 reply cut inside its last character by a full buffer stays UTF-8.
    EXPECT_EQ(DecodeWhoisText(record.substr(0, record.size() - 2)), "inetnum:  10.1.2.0 - 10.1.2.255\r\n기관명:   한국 예");
}
