// The socket-owner cache over a process tree of the test's own, laid out as /proc is,
// on tmpfs, where a folder's size follows the number of its entries as an fd folder's
// does: what a lookup reads, and what it finds, as processes come, change and go.
#include "platform/mib/SocketOwners.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/statfs.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

TEST(SocketOwners, ReadsOnlyWhatChangedAndFindsSocketsAsProcessesComeAndGo) {
    struct statfs info{};
    if (statfs("/dev/shm", &info) != 0 || info.f_type != 0x01021994 /* TMPFS_MAGIC */)
        GTEST_SKIP() << "needs /dev/shm on tmpfs";
    char root[] = "/dev/shm/tolvara-proc-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(root));
    auto folder = [&](const std::string& process) { return fs::path(root) / process / "fd"; };
    auto link = [&](const std::string& process, int fd, const std::string& target) {
        fs::create_directories(folder(process));
        fs::create_symlink(target, folder(process) / std::to_string(fd));
    };
    link("100", 3, "socket:[11]");
    link("100", 4, "pipe:[12]");
    link("100", 5, "socket:[99999999999]");  // no inode is that large
    link("100", 6, "socket:[13");
    link("200", 3, "socket:[21]");
    link("self", 3, "socket:[14]");  // not a process folder

    mib::SocketOwners owners(root);
    auto find = [&](std::vector<uint32_t> inodes, int64_t ms) {
        std::vector<uint32_t> pids(inodes.size(), 12345);
        owners.Find(inodes.data(), pids.data(), inodes.size(), ms);
        return pids;
    };
    EXPECT_EQ((std::vector<uint32_t>{100, 200, 0, 0, 0, 0}), find({11, 21, 0, 12, 13, 14}, 0));
    const auto cold = owners.work();

    // Everything known: no process is read, and /proc is not even listed.
    EXPECT_EQ((std::vector<uint32_t>{100, 200, 0}), find({11, 21, 0}, 10));
    EXPECT_EQ(cold.passes, owners.work().passes);

    // A new socket: only the process whose descriptors changed is read.
    link("200", 4, "socket:[22]");
    EXPECT_EQ((std::vector<uint32_t>{200, 100}), find({22, 11}, 20));
    EXPECT_EQ(cold.processReads + 1, owners.work().processReads);

    // The opener goes and a process it started holds the socket on.
    fs::remove_all(fs::path(root) / "100");
    link("300", 7, "socket:[11]");
    EXPECT_EQ((std::vector<uint32_t>{300}), find({11}, 30));

    // A descriptor closed and another opened leave the count as it was. The kernel
    // hands out the lowest free number, so the new socket is looked for first at the
    // descriptor of the socket that left the table: one link, and nothing listed.
    fs::remove(folder("300") / "7");
    link("300", 7, "socket:[31]");
    auto before = owners.work();
    EXPECT_EQ((std::vector<uint32_t>{300}), find({31}, 40));
    EXPECT_EQ(before.passes, owners.work().passes);
    EXPECT_EQ(before.links + 1, owners.work().links);
    EXPECT_EQ(before.freedLinks + 1, owners.work().freedLinks);
    // Read again, it skips the descriptor that still holds an asked socket of its own.
    link("300", 8, "socket:[32]");
    before = owners.work();
    EXPECT_EQ((std::vector<uint32_t>{300, 300}), find({31, 32}, 45));
    EXPECT_EQ(before.links + 1, owners.work().links);
    // Opened elsewhere than where one closed: the processes that held asked sockets
    // are read.
    fs::remove(folder("300") / "8");
    link("300", 9, "socket:[33]");
    before = owners.work();
    EXPECT_EQ((std::vector<uint32_t>{300, 300}), find({31, 33}, 47));
    EXPECT_EQ(before.processReads + 1, owners.work().processReads);
    EXPECT_EQ(before.freedLinks + 1, owners.work().freedLinks);

    // One nobody holds is looked for again only a few seconds on, however often others
    // are looked for meanwhile, and only then in every process.
    const auto passes = owners.work().passes;
    EXPECT_EQ((std::vector<uint32_t>{0}), find({41}, 50));
    EXPECT_EQ((std::vector<uint32_t>{0}), find({41}, 55));
    EXPECT_EQ(passes + 1, owners.work().passes);
    link("300", 10, "socket:[34]");
    EXPECT_EQ((std::vector<uint32_t>{0, 300}), find({41, 34}, 60));
    EXPECT_EQ(passes + 2, owners.work().passes);
    EXPECT_EQ((std::vector<uint32_t>{300, 0}), find({31, 41}, 50 + mib::SocketOwners::kFullScanMs));
    EXPECT_EQ(passes + 4, owners.work().passes);

    // One nobody asks for is forgotten within a minute, and looked for anew if asked.
    int64_t ms = 3100;
    for (uint32_t i = 0; i < 5; ++i, ms += 10000) find({33, 50 + i}, ms);
    before = owners.work();
    EXPECT_EQ((std::vector<uint32_t>{300}), find({31}, ms));
    EXPECT_LT(before.links, owners.work().links);
    fs::remove_all(root);
}

}  // namespace
