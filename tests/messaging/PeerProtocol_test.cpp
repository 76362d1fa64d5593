// Message datagrams, the receiver's hand-shake with its window, and delivery between
// copies (loopback, or namespaces of the test's own where port 44444 is free).
#include "messaging/PeerProtocol.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <condition_variable>
#include <fstream>
#include <future>

#include "platform/Messages.h"
#include "platform/TextUtil.h"
#include "support/LoopbackSockets.h"
#include "support/NetNamespace.h"

using namespace std::literals;

namespace {

const LocalTime kNow{2024, 3, 5, 9, 7, 2};
std::string Repeat(const std::string& s, int n) { return n ? s + Repeat(s, n - 1) : ""; }

// A window stand-in that counts the receiver's posts.
struct Receiver {
    std::shared_ptr<ThreadLink> link = std::make_shared<ThreadLink>();
    std::mutex lock;
    std::condition_variable posted;
    int posts = 0;
    std::future<int> result;

    explicit Receiver(uint16_t port) {
        link->hwnd = WindowRef::Create([this](PostedMessage&& m) {
            std::lock_guard<std::mutex> g(lock);
            posts += m.message == WM_PEER_MESSAGE && m.wParam == 0 && m.payload.empty();
            posted.notify_all();
        });
        result = std::async(std::launch::async, PeerReceiverThread, link, port);
        // Bound once the port shows in this namespace's table (a probe bind would race it).
        char entry[32];
        std::snprintf(entry, sizeof entry, "00000000:%04X ", port);
        for (int i = 0; i < 200 && result.wait_for(10ms) == std::future_status::timeout; ++i) {
            std::ifstream table("/proc/thread-self/net/udp");
            if (std::string(std::istreambuf_iterator<char>(table), {}).find(entry) != std::string::npos) break;
        }
    }
    ~Receiver() {
        link->hwnd.Invalidate();
        link->Stop();
    }
    bool WaitPosts(int n, std::chrono::milliseconds limit = 3s) {
        std::unique_lock<std::mutex> g(lock);
        return posted.wait_for(g, limit, [&] { return posts >= n; });
    }
    // Closes the window (noticed at the next 2 s time-out) or stops the link (at once, a
    // blocked receive too); the receiver's result, or 99 while it still runs.
    int Stop(bool closeWindow) {
        closeWindow ? link->hwnd.Invalidate() : link->Stop();
        return result.wait_for(closeWindow ? 3s : 300ms) == std::future_status::ready ? result.get() : 99;
    }
};

}  // namespace

TEST(PeerDatagram, FormsAndAcceptsOnlyWholeDatagrams) {
    EXPECT_EQ(FormatPeerDatagram("hi"), "_START_hi_END_\0"s);
    EXPECT_EQ(FormatPeerDatagram(""), "_START__END_\0"s);
    EXPECT_EQ(FormatPeerDatagram("ab\0cd"s), "_START_ab_END_\0"s);
    // Too long: cut between characters, inside the markers.
    EXPECT_EQ(FormatPeerDatagram(Repeat("한", 600)), "_START_" + Repeat("\xC7\xD1", 505) + "_END_\0"s);
    EXPECT_EQ(FormatPeerDatagram("a" + Repeat("한", 600)).size(), 1024u);

    EXPECT_EQ(ParsePeerDatagram("_START_hi_END_\0junk"s), "hi");
    EXPECT_EQ(ParsePeerDatagram("_START_hi_END_"), "hi");
    EXPECT_EQ(ParsePeerDatagram("_START_a_END_b_END_"), "a_END_b");
    EXPECT_EQ(ParsePeerDatagram("_START_\xC7\xD1\xFF_END_"), "한\uFFFD");
    for (std::string_view bad : {"_START_hi"sv, "hi_END_"sv, "_START_END_"sv, "_START_hi_END_x"sv, "_START_hi\0_END_"sv})
        EXPECT_FALSE(ParsePeerDatagram(bad).has_value()) << bad;
}

TEST(PeerDatagram, BoxTextIsCutAtACharacterWithinItsCp949Length) {
    const std::string head = "2024년 3월 5일 09:07:02에 10.77.0.1로부터 수신된 메시지\n\n ";
    EXPECT_EQ(FormatPeerBoxText(kNow, "10.77.0.1", "hi\uFFFD"), head + "hi\uFFFD");
    const int room = static_cast<int>(1023 - Utf8ToCp949(head).size()) / 2;
    EXPECT_EQ(FormatPeerBoxText(kNow, "10.77.0.1", Repeat("한", 600)), head + Repeat("한", room));
}

TEST(PeerReceiver, MessageToSelfIsShownAndConfirmedOnceAndTheConfirmationIsNot) {
    const uint16_t port = LocalPort(UdpSocket(0, "0.0.0.0").get());
    Receiver r(port);
    std::vector<std::string> shown, sent;
    auto show = [&](const std::string& box) { shown.push_back(box); };
    auto send = [&](const std::string& to, const std::string& text) {
        sent.push_back(to + "|" + text);
        SendPeerDatagram(to, text, port);
    };
    SendPeerDatagram("127.0.0.1", "", port);
    ASSERT_TRUE(r.WaitPosts(1));
    HandlePeerMessage(*r.link, kNow, show, send);
    ASSERT_TRUE(r.WaitPosts(2));
    HandlePeerMessage(*r.link, kNow, show, send);
    EXPECT_FALSE(r.WaitPosts(3, 1500ms));
    EXPECT_EQ(shown, (std::vector{FormatPeerBoxText(kNow, "127.0.0.1", ""),
                                  FormatPeerBoxText(kNow, "127.0.0.1", PEER_CONFIRM_TEXT)}));
    EXPECT_EQ(sent, std::vector{"127.0.0.1|"s + PEER_CONFIRM_TEXT});
    EXPECT_EQ(r.link->State(), WorkerState::Running);
    EXPECT_FALSE(r.link->text);
    EXPECT_EQ(r.Stop(false), 0);

    // A second sender (127.0.0.2) waits until the first box is closed; a window that goes
    // with a box open still lets the receiver end.
    Receiver q(port);
    SendPeerDatagram("127.0.0.1", "first", port);
    ASSERT_TRUE(q.WaitPosts(1));
    const std::string second = FormatPeerDatagram("second");
    const sockaddr_in to = Loopback(port);
    ::sendto(UdpSocket(0, "127.0.0.2").get(), second.data(), second.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
    EXPECT_FALSE(q.WaitPosts(2, 1200ms));
    EXPECT_EQ(*q.link->text, "first");
    HandlePeerMessage(*q.link, kNow, [](const std::string&) {}, [](const std::string&, const std::string&) {});
    ASSERT_TRUE(q.WaitPosts(2));
    EXPECT_EQ(*q.link->text, "second");
    EXPECT_STREQ(q.link->address, "127.0.0.2");
    EXPECT_EQ(q.Stop(true), 0);
}

TEST(PeerReceiver, WithThePortHeldElsewhereReceivingEndsAndSendingStillWorks) {
    if (const std::string why = NamespaceUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
    TestNetns ns("peer");
    TestNetns::Inside inside(ns);
    const Fd holder = UdpSocket(PEER_MESSAGE_PORT, "0.0.0.0");
    Receiver r(PEER_MESSAGE_PORT);
    EXPECT_EQ(r.Stop(false), -1);
    SendPeerDatagram("127.0.0.1", "hi");
    EXPECT_EQ(ReceiveDatagram(holder.get(), 3000), "_START_hi_END_\0"s);
}

TEST(PeerReceiver, KoreanTextTravelsAsCp949AndArrivesReadableAtAnotherCopy) {
    if (const std::string why = NamespaceUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
    TestNetns a("peer-a"), b("peer-b");
    LinkVeth(a, "10.77.0.1/24", b, "10.77.0.2/24");
    auto sendFromA = [&] { a.Run([] { SendPeerDatagram("10.77.0.2", "안녕하세요"); }); };
    TestNetns::Inside inB(b);
    Fd wire = UdpSocket(PEER_MESSAGE_PORT, "0.0.0.0");
    sendFromA();
    EXPECT_EQ(ReceiveDatagram(wire.get(), 3000), "_START_\xBE\xC8\xB3\xE7\xC7\xCF\xBC\xBC\xBF\xE4_END_\0"s);
    wire.reset();
    Receiver r(PEER_MESSAGE_PORT);
    sendFromA();
    ASSERT_TRUE(r.WaitPosts(1));
    EXPECT_EQ(*r.link->text, "안녕하세요");
    EXPECT_STREQ(r.link->address, "10.77.0.1");
    EXPECT_EQ(r.Stop(false), 0);
}
