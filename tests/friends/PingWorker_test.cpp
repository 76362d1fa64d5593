// Pings in a network namespace of the test's own, where 127.0.0.2 drops echo requests
// and 127.0.0.3 rejects them as host-unreachable: both socket kinds, and a whole pass.
#include "friends/PingWorker.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <regex>
#include <thread>

#include "friends/FriendFile.h"
#include "friends/Icmp.h"
#include "platform/Messages.h"
#include "support/NetNamespace.h"
#include "support/TestSupport.h"

using namespace std::chrono;

namespace {

bool IsTime(const std::string& result) { return std::regex_match(result, std::regex("[0-9]+ms")); }

milliseconds Since(steady_clock::time_point start) { return duration_cast<milliseconds>(steady_clock::now() - start); }

class PingNetns : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = NamespaceUnavailableReason();
        if (!why.empty()) GTEST_SKIP() << why;
        ns = std::make_unique<TestNetns>("ping");
        ASSERT_EQ(ns->Exec("nft add table ip t && nft add chain ip t in \"{ type filter hook input priority 0; }\" && "
                           "nft add rule ip t in ip daddr 127.0.0.2 icmp type echo-request drop && "
                           "nft add rule ip t in ip daddr 127.0.0.3 icmp type echo-request "
                           "reject with icmp type host-unreachable"),
                  0);
    }
    std::unique_ptr<TestNetns> ns;
};

TEST_F(PingNetns, SameResultsOnRawAndPingSocket) {
    // The default group range lets nobody open a ping socket, root included.
    ns->Run([] { EXPECT_EQ(PingOnce("127.0.0.1", PingSocketKind::Ping), PING_FAILED); });
    ASSERT_EQ(ns->Exec("sysctl -qw net.ipv4.ping_group_range=\"0 2147483647\""), 0);
    for (PingSocketKind kind : {PingSocketKind::Raw, PingSocketKind::Ping}) {
        SCOPED_TRACE(kind == PingSocketKind::Raw ? "raw socket" : "ping socket");
        ns->Run([kind] {
            const std::string answer = PingOnce("127.0.0.1", kind);
            EXPECT_TRUE(IsTime(answer)) << answer;
            EXPECT_EQ(PingOnce("127.0.0.3", kind), PING_NO_ECHO);
            const auto start = steady_clock::now();
            EXPECT_EQ(PingOnce("127.0.0.2", kind), PING_TIMED_OUT);
            EXPECT_NEAR(Since(start).count(), 1000, 200);
            EXPECT_EQ(PingOnce("127.0.0", kind), PING_FAILED);
        });
    }
}

TEST_F(PingNetns, ForeignEchoReplyArrivingFirst) {
    ns->Run([] {
        std::atomic<bool> done{false};
        std::thread other([&done] {  // another program's echo replies, until our ping is over
            const int fd = ::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
            EchoRequest reply = BuildEchoRequest(static_cast<uint16_t>(~EchoIdentifier()), 0);
            reply[0] = ICMP_TYPE_ECHO_REPLY;
            reply[2] = reply[3] = 0;
            const uint16_t sum = InternetChecksum(reply.data(), reply.size());
            std::memcpy(&reply[2], &sum, sizeof sum);
            const sockaddr_in to{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
            for (; !done; std::this_thread::sleep_for(20ms))
                ::sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            ::close(fd);
        });
        EXPECT_EQ(PingOnce("127.0.0.2", PingSocketKind::Raw), PING_FOREIGN);
        done = true;
        other.join();
    });
}

TEST_F(PingNetns, PassGoesOnRowByRowOverCrLfFile) {
    TempDir dir;
    WriteWholeFile(dir.file("f"), "127.0.0.1\r\n127.0.0.2\r\n127.0.0.3\r\nfriend\r\n");
    const std::vector<std::string> rows = ReadFriendFile(dir.file("f"));
    const FriendAddressOf addressOf = [&rows](int row) { return rows[static_cast<size_t>(row)]; };
    auto block = std::make_shared<PingBlock>();
    std::vector<std::string> results;
    std::vector<steady_clock::time_point> times;
    std::promise<void> over;
    // Each result starts the next ping, as the main window's handler does.
    const WindowRef window = WindowRef::Create([&](PostedMessage&& m) {
        results.push_back(m.message == WM_PING_RESULT ? m.payload : "another message");
        times.push_back(steady_clock::now());
        if (!ContinuePingPass(block, static_cast<int>(rows.size()), addressOf)) over.set_value();
    });
    ns->Run([&] {
        EXPECT_FALSE(BeginPingPass(block, window, 0, addressOf));
        ASSERT_TRUE(BeginPingPass(block, window, static_cast<int>(rows.size()), addressOf));
        ASSERT_EQ(over.get_future().wait_for(10s), std::future_status::ready);
    });
    std::this_thread::sleep_for(300ms);  // one result per row, nothing after the pass
    window.Invalidate();
    ASSERT_EQ(results.size(), 4u);
    EXPECT_TRUE(IsTime(results[0])) << results[0];
    EXPECT_EQ(std::vector<std::string>(results.begin() + 1, results.end()),
              (std::vector<std::string>{PING_TIMED_OUT, PING_NO_ECHO, PING_FAILED}));
    EXPECT_GE(times[1] - times[0], 900ms);
}

}  // namespace
