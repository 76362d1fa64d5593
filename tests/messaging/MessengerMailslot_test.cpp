// The local mailslot: one holder per name, whole messages in arrival order, long ones
// read in part, a bounded queue, and messages this computer sends to itself.
#include "messaging/MessengerMailslot.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "messaging/MessengerSender.h"
#include "support/TestSupport.h"

namespace {

using namespace std::string_literals;

// Never the program's own name: a running copy may hold it here.
std::string TestName(const char* tag) { return "tolvara-test/"s + tag + "/" + std::to_string(::getpid()); }

sockaddr_un AbstractAddress(const std::string& name, socklen_t& length) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    name.copy(address.sun_path + 1, name.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return address;
}

}  // namespace

// In a private folder the lock beside the socket file says who holds the mailslot: a
// socket file a dead copy left is replaced, a live holder's never taken over or unlinked.
TEST(MessengerMailslot, InTheRuntimeFolderOneCopyHoldsIt) {
    TempDir dir;
    const std::string name = dir.file(LOCAL_MAILSLOT_FILE);
    ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    EXPECT_EQ(LocalMailslotName(), name);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);  // a folder others may enter is not used
    EXPECT_NE(LocalMailslotName(), name);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0700), 0);
    ::unsetenv("XDG_RUNTIME_DIR");

    sockaddr_un dead{};
    dead.sun_family = AF_UNIX;
    name.copy(dead.sun_path, name.size());
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&dead), sizeof dead), 0);
    ::close(fd);
    auto slot = CMessengerMailslot::Create(name);
    ASSERT_TRUE(slot);
    EXPECT_FALSE(CMessengerMailslot::Create(name));
    ASSERT_TRUE(WriteLocalMailslot(name, "PC1\0PC2\0hi"s));
    std::string message;
    EXPECT_TRUE(slot->ReadNext(message) && message == "PC1\0PC2\0hi"s);
    slot.reset();
    EXPECT_TRUE(CMessengerMailslot::Create(name));
}

// Under an abstract name, which every local user can reach, a process running as nobody
// binds a name first and writes to ours: neither reaches the other.
TEST(MessengerMailslot, UnderAnAbstractNameAnotherUserNeitherWritesNorReceives) {
    if (::geteuid() != 0) GTEST_SKIP() << "becoming another user needs root";
    const std::string ours = TestName("ours"), squatted = TestName("squatted");
    auto slot = CMessengerMailslot::Create(ours);
    ASSERT_TRUE(slot);
    socklen_t toLength = 0, atLength = 0;
    const sockaddr_un to = AbstractAddress(ours, toLength), at = AbstractAddress(squatted, atLength);
    int sync[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sync), 0);
    const pid_t child = ::fork();
    if (child == 0) {  // says whether it sent, then waits for the end
        ::close(sync[0]);
        char sent = ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        sent = sent && ::bind(fd, reinterpret_cast<const sockaddr*>(&at), atLength) == 0 &&
               ::sendto(fd, "PC9\0PC2\0x", 9, 0, reinterpret_cast<const sockaddr*>(&to), toLength) == 9;
        ::_exit(::write(sync[1], &sent, 1) == 1 && ::read(sync[1], &sent, 1) >= 0 ? 0 : 1);
    }
    ::close(sync[1]);
    char sent = 0;
    ASSERT_EQ(::read(sync[0], &sent, 1), 1);
    ASSERT_TRUE(sent);
    EXPECT_FALSE(WriteLocalMailslot(squatted, "PC1\0PC2\0secret"s));
    ASSERT_TRUE(WriteLocalMailslot(ours, "PC1\0PC2\0mine"s));
    std::string message;
    EXPECT_TRUE(slot->ReadNext(message) && message == "PC1\0PC2\0mine"s);  // the one sent first is gone
    EXPECT_FALSE(slot->ReadNext(message));
    ::close(sync[0]);
    ::waitpid(child, nullptr, 0);
}

TEST(MessengerMailslot, OneHolderWholeMessagesInOrder) {
    const std::string name = TestName("order");
    auto slot = CMessengerMailslot::Create(name);
    ASSERT_TRUE(slot);
    EXPECT_FALSE(CMessengerMailslot::Create(name));  // a second copy runs without it
    const std::string longOne = "PC1\0PC2\0"s + std::string(5000, 'x');
    for (const std::string& m : {"PC1\0PC2\0one"s, longOne, ""s, "PC1\0PC2\0three"s})
        ASSERT_TRUE(WriteLocalMailslot(name, m));
    std::string message;
    for (const std::string& m : {"PC1\0PC2\0one"s, longOne.substr(0, 1023), ""s, "PC1\0PC2\0three"s}) {
        ASSERT_TRUE(slot->ReadNext(message));
        EXPECT_EQ(message, m);
    }
    EXPECT_FALSE(slot->ReadNext(message));
    slot.reset();
    EXPECT_FALSE(WriteLocalMailslot(name, "x"));  // the name goes with the holder
    EXPECT_TRUE(CMessengerMailslot::Create(name));
}

TEST(MessengerMailslot, FullQueueLeavesTheRestWaitingAndWritersCanStop) {
    const std::string name = TestName("full");
    auto slot = CMessengerMailslot::Create(name);
    ASSERT_TRUE(slot);
    int written = 0;  // the kernel holds only a few at a time: write and drain in rounds
    while (!slot->Full()) {
        while (WriteLocalMailslot(name, std::to_string(written))) ++written;
        slot->Drain();
    }
    while (WriteLocalMailslot(name, std::to_string(written))) ++written;  // and the socket full too
    slot->Drain();
    EXPECT_EQ(slot->Waiting(), MAILSLOT_QUEUE_MAX);

    int stop[2];  // a writer waiting for room ends when told to
    ASSERT_EQ(::pipe(stop), 0);
    auto stopped = std::async(std::launch::async, [&] { return WriteLocalMailslot(name, "lost", 60000, stop[0]); });
    ASSERT_EQ(::write(stop[1], "x", 1), 1);
    EXPECT_FALSE(stopped.get());
    auto waiting = std::async(std::launch::async, [&] { return WriteLocalMailslot(name, "late", 60000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::string message;
    for (int i = 0; i < written; ++i) {
        ASSERT_TRUE(slot->ReadNext(message));
        EXPECT_EQ(message, std::to_string(i));
    }
    EXPECT_TRUE(waiting.get());
    ASSERT_TRUE(slot->ReadNext(message));
    EXPECT_EQ(message, "late");
    ::close(stop[0]);
    ::close(stop[1]);
}

TEST(MessengerSend, DotAndOwnNameGoToTheLocalMailslot) {
    const std::string name = TestName("self");
    auto slot = CMessengerMailslot::Create(name);
    ASSERT_TRUE(slot);
    TempDir dir;
    WriteWholeFile(dir.file("smb.conf"), "[global]\nnetbios name = PC1\n");
    MessengerSendConfig config;
    config.localMailslot = name, config.smbConf = dir.file("smb.conf");
    EXPECT_EQ(DeliverMessengerMessage("pc1", "안녕", config), std::vector{MessengerRoute::Local});
    EXPECT_TRUE(DeliverMessengerMessage("SIXTEEN-LETTERS!", "x", config).empty());  // cannot be encoded
    std::promise<std::vector<MessengerRoute>> done;
    config.finished = [&](const std::vector<MessengerRoute>& routes) { done.set_value(routes); };
    SendMessengerMessage(".", "later", config);  // returns before the worker is done
    EXPECT_EQ(done.get_future().get(), std::vector{MessengerRoute::Local});
    std::string message;
    ASSERT_TRUE(slot->ReadNext(message));
    EXPECT_EQ(message, "PC1\0pc1\0\xBE\xC8\xB3\xE7"s);  // recipient as typed, text in CP949
    ASSERT_TRUE(slot->ReadNext(message));
    EXPECT_EQ(message, "PC1\0.\0later"s);
}
