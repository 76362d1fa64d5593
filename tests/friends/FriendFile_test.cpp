// The friend file: how lines are read back, and that a save never loses the list.
#include "friends/FriendFile.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/TestSupport.h"

namespace {

TEST(FriendFile, ReadsLinesInPiecesWithEitherLineEnd) {
    TempDir dir;
    const std::string x79(79, 'x'), y78(78, 'y'), z100(100, 'z');
    WriteWholeFile(dir.file("f"), "10.0.0.1\r\n\n" + x79 + "\n" + y78 + "\r\n" + z100 + "\nlone\rcr\n10.0.0.9");
    // A 79-byte line fills one read, so its line feed comes back as an empty entry; a
    // CR LF costs no room in the read.
    const std::vector<std::string> expected = {"10.0.0.1", "", x79, "", y78, z100.substr(0, 79), z100.substr(79),
                                               "lone\rcr", "10.0.0.9"};
    EXPECT_EQ(ReadFriendFile(dir.file("f")), expected);

    EXPECT_TRUE(ReadFriendFile(dir.file("missing")).empty());
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_TRUE(ReadFriendFile(dir.file("fifo")).empty());  // returns at once, no writer needed
}

TEST(FriendFile, ReadsTheFirstTenThousandAndNoFurther) {
    TempDir dir;
    std::string lines;
    for (size_t i = 0; i < MAX_FRIENDS; ++i)
        lines += "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250) + "\n";
    WriteWholeFile(dir.file("f"), lines);
    bool leftOut = true;
    EXPECT_EQ(ReadFriendFile(dir.file("f"), &leftOut).size(), MAX_FRIENDS);
    EXPECT_FALSE(leftOut);
    // One line more, then 200 MB (sparse) of which nothing is read.
    WriteWholeFile(dir.file("f"), lines + "10.9.9.9\n");
    std::filesystem::resize_file(dir.file("f"), 200'000'000);
    const auto bytesRead = [] { return std::stoll(ReadWholeFile("/proc/self/io").substr(7)); };  // rchar
    const long long before = bytesRead();
    EXPECT_EQ(ReadFriendFile(dir.file("f"), &leftOut).back(), "10.0.39.249");
    EXPECT_LT(bytesRead() - before, 1'000'000);
    EXPECT_TRUE(leftOut);
}

TEST(FriendFile, SaveReplacesWholeOrKeepsOldFile) {
    TempDir dir;
    const std::string path = dir.file(FRIEND_FILE_NAME);
    ASSERT_TRUE(WriteFriendFile(path, {"10.0.0.3", "10.0.0.2"}));
    EXPECT_EQ(ReadWholeFile(path), "10.0.0.3\n10.0.0.2\n");
    EXPECT_FALSE(WriteFriendFile(dir.file("gone/x"), {"10.0.0.2"}));

    // A file size limit stands in for a full disk, also for root.
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit tight = old;
    tight.rlim_cur = 4;
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &tight);
    const bool saved = WriteFriendFile(path, {"10.0.0.4"});
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(saved);
    EXPECT_EQ(ReadWholeFile(path), "10.0.0.3\n10.0.0.2\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);  // no temporary left

    ASSERT_TRUE(WriteFriendFile(path, {}));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(WriteFriendFile(path, {}));  // already gone is no failure
}

}  // namespace
