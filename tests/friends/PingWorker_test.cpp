// Pings in a network namespace of the test's own, where 127.0.0.2 drops echo requests
// and 127.0.0.3 rejects them as host-unreachable: both socket kinds, a whole pass, and
// replies that come late.
#include "friends/PingWorker.h"

#include <gtest/gtest.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <regex>
#include <thread>

#include "friends/FriendFile.h"
#include "friends/Icmp.h"
#include "platform/TextUtil.h"
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

TEST_F(PingNetns, ForeignEchoReplyFromThePingedAddressArrivingFirst) {
    ns->Run([] {
        std::atomic<bool> done{false};
        std::thread other([&done] {  // another program's echo replies, until our ping is over
            const int fd = ::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
            const sockaddr_in pinged{AF_INET, 0, {htonl(INADDR_LOOPBACK + 1)}, {}};
            ::bind(fd, reinterpret_cast<const sockaddr*>(&pinged), sizeof pinged);
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

// Answers echo requests itself, each after the delay set for its address, as a slow
// host would: the request's bytes as type 0, from the pinged address. The namespace's
// kernel answers nothing.
class SlowHosts {
public:
    SlowHosts(const TestNetns& ns, std::map<std::string, milliseconds> delays) {
        EXPECT_EQ(ns.Exec("sysctl -qw net.ipv4.icmp_echo_ignore_all=1"), 0);
        thread_ = std::thread([this, &ns, delays = std::move(delays)] {
            TestNetns::Inside inside(ns);
            const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
            const icmp_filter onlyRequests{~(1u << ICMP_ECHO)};
            ::setsockopt(fd, SOL_RAW, ICMP_FILTER, &onlyRequests, sizeof onlyRequests);
            std::vector<std::pair<steady_clock::time_point, std::vector<uint8_t>>> due;  // whole datagrams
            for (uint8_t d[1024]; !done_;) {
                pollfd p{fd, POLLIN, 0};
                const ssize_t n = ::poll(&p, 1, 5) > 0 ? ::recv(fd, d, sizeof d, 0) : 0;
                if (n > 20) {
                    const auto delay = delays.find(FormatDottedIPv4(d + 16));
                    due.emplace_back(steady_clock::now() + (delay != delays.end() ? delay->second : 1h),
                                     std::vector<uint8_t>(d, d + n));
                }
                std::erase_if(due, [](auto& r) {
                    if (steady_clock::now() < r.first) return false;
                    Answer(r.second);
                    return true;
                });
            }
            ::close(fd);
        });
    }
    ~SlowHosts() {
        done_ = true;
        thread_.join();
    }

private:
    static void Answer(std::vector<uint8_t>& request) {
        sockaddr_in host{AF_INET, 0, {}, {}}, asker{AF_INET, 0, {}, {}};
        std::memcpy(&asker.sin_addr, &request[12], 4);
        std::memcpy(&host.sin_addr, &request[16], 4);
        std::vector<uint8_t> icmp(request.begin() + (request[0] & 0x0F) * 4, request.end());
        icmp[0] = ICMP_TYPE_ECHO_REPLY;
        icmp[2] = icmp[3] = 0;
        const uint16_t sum = InternetChecksum(icmp.data(), icmp.size());
        std::memcpy(&icmp[2], &sum, sizeof sum);
        const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        ::bind(fd, reinterpret_cast<const sockaddr*>(&host), sizeof host);
        ::sendto(fd, icmp.data(), icmp.size(), 0, reinterpret_cast<const sockaddr*>(&asker), sizeof asker);
        ::close(fd);
    }

    std::atomic<bool> done_{false};
    std::thread thread_;
};

TEST_F(PingNetns, LateRepliesNeverLandInTheNextRow) {
    // Each late reply arrives half-way through the next row's wait: from the same
    // address (a late reply to the earlier ping), then from the previous friend's, and
    // at last just ahead of a reply that does come in time.
    SlowHosts hosts(*ns, {{"127.0.0.5", 1500ms}, {"127.0.0.6", 1500ms}, {"127.0.0.7", 700ms}});
    const std::vector<std::string> rows = {"127.0.0.5", "127.0.0.5", "127.0.0.6", "127.0.0.7"};
    const FriendAddressOf addressOf = [&rows](int row) { return rows[static_cast<size_t>(row)]; };
    auto block = std::make_shared<PingBlock>();
    std::vector<std::string> results;
    std::promise<void> over;
    const WindowRef window = WindowRef::Create([&](PostedMessage&& m) {
        results.push_back(m.payload);
        if (!ContinuePingPass(block, static_cast<int>(rows.size()), addressOf, PingSocketKind::Raw))
            over.set_value();
    });
    ns->Run([&] {
        ASSERT_TRUE(BeginPingPass(block, window, static_cast<int>(rows.size()), addressOf, PingSocketKind::Raw));
        ASSERT_EQ(over.get_future().wait_for(10s), std::future_status::ready);
    });
    window.Invalidate();
    ASSERT_EQ(results.size(), rows.size());
    EXPECT_EQ(std::vector<std::string>(results.begin(), results.end() - 1),
              (std::vector<std::string>{PING_TIMED_OUT, PING_TIMED_OUT, PING_TIMED_OUT}));
    ASSERT_TRUE(IsTime(results.back())) << results.back();
    EXPECT_NEAR(std::stoi(results.back()), 700, 150);
}

}  // namespace
