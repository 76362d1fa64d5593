// The local mailslot: one holder per name, whole messages in arrival order, long ones
// read in part, a bounded queue, and messages this computer sends to itself.
#include "messaging/MessengerMailslot.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "messaging/MessengerSender.h"
#include "support/TestSupport.h"

namespace {

using namespace std::string_literals;

// Never the program's own name: a running copy may hold it here.
std::string TestName(const char* tag) { return "tolvara-test/"s + tag + "/" + std::to_string(::getpid()); }

}  // namespace

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
