// The channel by which a second start from the menu asks the running copy to show its
// window: one listener per user, only the exact request, nothing that can stall it.
#include "app/SingleInstance.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <future>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "support/TestSupport.h"

namespace {

// Asks from another thread while this one serves the listener, as the launcher does
// from another process.
bool AskWhileServing(const std::string& dir, int limitMs = 5000) {
    auto answer = std::async(std::launch::async, [&] { return AskRunningCopyToShow(dir, limitMs); });
    ServeEventsUntil([&] { return answer.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; },
                     limitMs + 5000);
    return answer.get();
}

void ServeFor(int ms) {
    ServeEventsUntil([] { return false; }, ms);
}

int ConnectTo(const std::string& dir) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = dir + "/instance";
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    return fd;
}

// The other end has closed: an end of file, or a reset where it left our bytes unread.
bool ClosedByPeer(int fd) {
    char c;
    const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override { EnsureCoreApp(); }
    TempDir runtime;
    std::string dir = runtime.file("tolvara");
    int shows = 0;
};

TEST_F(SingleInstanceTest, TheFirstCopyListensAndShowsOnRequestTheSecondRunsWithoutTheChannel) {
    EXPECT_FALSE(AskRunningCopyToShow(dir, 1000)) << "nothing runs yet";
    auto first = InstanceListener::Listen(dir, [&] { ++shows; });
    ASSERT_NE(first, nullptr);
    struct stat st {};
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    EXPECT_TRUE(AskWhileServing(dir));
    EXPECT_TRUE(AskWhileServing(dir));
    EXPECT_EQ(shows, 2);
    // A copy started directly while one runs leaves the first one's channel alone.
    EXPECT_EQ(InstanceListener::Listen(dir, [] {}), nullptr);
    EXPECT_TRUE(AskWhileServing(dir));
    EXPECT_EQ(shows, 3);

    // Once the first is gone nothing answers, and the next copy takes over.
    first.reset();
    EXPECT_FALSE(AskRunningCopyToShow(dir, 1000));
    auto next = InstanceListener::Listen(dir, [&] { shows += 10; });
    ASSERT_NE(next, nullptr);
    EXPECT_TRUE(AskWhileServing(dir));
    EXPECT_EQ(shows, 13);
}

// Anything but the exact request is dropped unanswered; a client that says nothing is
// dropped at the time limit and stalls neither the window thread nor other requests.
TEST_F(SingleInstanceTest, OtherRequestsAndSilentClientsAreDropped) {
    auto listener = InstanceListener::Listen(dir, [&] { ++shows; });
    ASSERT_NE(listener, nullptr);
    const int silent = ConnectTo(dir);
    const int wrong = ConnectTo(dir);
    ASSERT_EQ(::send(wrong, "exit\n", 5, MSG_NOSIGNAL), 5);
    ServeFor(300);
    EXPECT_TRUE(ClosedByPeer(wrong)) << "closed without an answer";
    EXPECT_TRUE(AskWhileServing(dir)) << "served while a silent client waits";
    EXPECT_EQ(shows, 1);
    ServeFor(2500);
    EXPECT_TRUE(ClosedByPeer(silent)) << "the silent client was not dropped";
    ::close(silent);
    ::close(wrong);

    // An overlong request is refused as well.
    const int longer = ConnectTo(dir);
    ASSERT_EQ(::send(longer, "show\nshow\n", 10, MSG_NOSIGNAL), 10);
    ServeFor(300);
    EXPECT_TRUE(ClosedByPeer(longer));
    ::close(longer);
    EXPECT_EQ(shows, 1);
}

// A folder that others could write into or read is not used at either end.
TEST_F(SingleInstanceTest, AFolderOpenToOthersIsNotUsed) {
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
    EXPECT_EQ(InstanceListener::Listen(dir, [] {}), nullptr);
    ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
    auto listener = InstanceListener::Listen(dir, [&] { ++shows; });
    ASSERT_NE(listener, nullptr);
    ASSERT_EQ(::chmod(dir.c_str(), 0750), 0);
    EXPECT_FALSE(AskWhileServing(dir, 1000));
    EXPECT_EQ(shows, 0);
}

}  // namespace
