// Messenger messages between two computers on a private link.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "MessengerNetns.h"
#include "messaging/MessengerMessage.h"

namespace {

using namespace std::string_literals;
using Routes = std::vector<MessengerRoute>;
using Clock = std::chrono::steady_clock;

int BindUdp(uint16_t port, bool reuse) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), on = 1;
    if (reuse) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in any{AF_INET, htons(port), {}, {}};
    return ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0 ? fd : (::close(fd), -1);
}

}  // namespace

class MessengerLan : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = NamespaceUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
        lan = std::make_unique<TwoComputers>();
    }
    std::unique_ptr<TwoComputers> lan;
};

TEST_F(MessengerLan, ByNameWorkgroupAndOwnBroadcast) {
    auto pc1 = lan->Listen(1), pc2 = lan->Listen(2);
    ASSERT_TRUE(pc1.second && pc2.second);
    // No name server answers for PC2: after both queries it goes by broadcast to PC2<03>.
    auto started = Clock::now();
    EXPECT_EQ(lan->Send(1, "pc2", "안녕 hi"), Routes{MessengerRoute::Broadcast});
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(1400));
    const std::string message = NextMessage(*pc2.first, 2000);
    EXPECT_EQ(message, "PC1\0pc2\0\xBE\xC8\xB3\xE7 hi"s);
    EXPECT_EQ(FormatMessengerBoxText({2001, 3, 4, 12, 5, 9}, message),
              "2001년 3월 4일 12:05:09에 PC1이(가) pc2에게 보낸 메시지\n\n 안녕 hi");
    // The workgroup needs no query, and the sender's own receiver gets it too.
    started = Clock::now();
    EXPECT_EQ(lan->Send(1, "Workgroup", "all"), Routes{MessengerRoute::Workgroup});
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(500));
    EXPECT_EQ(NextMessage(*pc2.first, 2000), "PC1\0Workgroup\0all"s);
    EXPECT_EQ(NextMessage(*pc1.first, 2000), "PC1\0Workgroup\0all"s);
    EXPECT_EQ(NextMessage(*pc2.first, 200), "<nothing>");  // one copy only
}

TEST_F(MessengerLan, NameServerAnswerSendsStraightThere) {
    auto pc2 = lan->Listen(2);
    ASSERT_TRUE(pc2.second);
    std::thread server([&] {  // answers the first query: PC2<03> is unique at 10.77.0.2
        TestNetns::Inside inside(lan->ns[1]);
        const int fd = BindUdp(NETBIOS_NAME_PORT, true);
        char q[50];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 3000) == 1 &&
            ::recvfrom(fd, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &length) == 50) {
            const std::string answer = std::string(q, 2) + "\x85\0\0\0\0\x01\0\0\0\0"s + std::string(q + 12, 34) +
                                       "\0\x20\0\x01\0\0\x0e\x10\0\x06\0\0\x0a\x4d\0\x02"s;
            ::sendto(fd, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
        ::close(fd);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto started = Clock::now();
    EXPECT_EQ(lan->Send(1, "PC2", "direct"), Routes{MessengerRoute::Unique});
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(500));
    server.join();
    EXPECT_EQ(NextMessage(*pc2.first, 2000), "PC1\0PC2\0direct"s);
}

TEST_F(MessengerLan, ReceiverSharesThePortOrStaysOff) {
    lan->ns[1].Run([&] {
        auto slot = CMessengerMailslot::Create(lan->mailslot);
        ASSERT_TRUE(slot);
        const LanReceiverConfig config{lan->Conf(2), NETBIOS_DATAGRAM_PORT};
        const int sharing = BindUdp(NETBIOS_DATAGRAM_PORT, true);  // as nmbd binds it
        EXPECT_TRUE(StartLanMailslotReceiver(*slot, config));
        ::close(sharing);
        const int exclusive = BindUdp(NETBIOS_DATAGRAM_PORT, false);
        EXPECT_FALSE(StartLanMailslotReceiver(*slot, config));
        ::close(exclusive);
    });
}
