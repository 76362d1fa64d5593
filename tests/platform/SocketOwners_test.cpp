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

class ProcTree {
public:
    ProcTree() {
        char templ[] = "/dev/shm/tolvara-proc-XXXXXX";
        if (mkdtemp(templ) != nullptr) root_ = templ;
    }
    ~ProcTree() {
        std::error_code ignored;
        if (!root_.empty()) fs::remove_all(root_, ignored);
    }
    const std::string& root() const { return root_; }
    void Link(uint32_t pid, int fd, const std::string& target) {
        const fs::path folder = fs::path(root_) / std::to_string(pid) / "fd";
        fs::create_directories(folder);
        fs::create_symlink(target, folder / std::to_string(fd));
    }
    void Unlink(uint32_t pid, int fd) { fs::remove(fs::path(root_) / std::to_string(pid) / "fd" / std::to_string(fd)); }
    void End(uint32_t pid) { fs::remove_all(fs::path(root_) / std::to_string(pid)); }

private:
    std::string root_;
};

TEST(SocketOwners, ReadsOnlyWhatChangedAndFindsSocketsAsProcessesComeAndGo) {
    struct statfs info{};
    if (statfs("/dev/shm", &info) != 0 || info.f_type != 0x01021994 /* TMPFS_MAGIC */)
        GTEST_SKIP() << "needs /dev/shm on tmpfs";
    ProcTree proc;
    ASSERT_FALSE(proc.root().empty());
    proc.Link(100, 3, "socket:[11]");
    proc.Link(100, 4, "pipe:[12]");
    proc.Link(100, 5, "socket:[99999999999]");  // no inode is that large
    proc.Link(100, 6, "socket:[13");
    proc.Link(200, 3, "socket:[21]");
    fs::create_directories(proc.root() + "/self/fd");
    fs::create_symlink("socket:[14]", proc.root() + "/self/fd/3");  // not a process folder

    mib::SocketOwners owners(proc.root().c_str());
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
    proc.Link(200, 4, "socket:[22]");
    EXPECT_EQ((std::vector<uint32_t>{200, 100}), find({22, 11}, 20));
    EXPECT_EQ(cold.processReads + 1, owners.work().processReads);

    // The opener goes and a process it started holds the socket on.
    proc.End(100);
    proc.Link(300, 7, "socket:[11]");
    EXPECT_EQ((std::vector<uint32_t>{300}), find({11}, 30));

    // A descriptor closed and another opened: the count is the same, so the new socket
    // is found at the next reading of every process, a few seconds on, and the one
    // nobody holds stays unowned.
    proc.Unlink(300, 7);
    proc.Link(300, 7, "socket:[31]");
    EXPECT_EQ((std::vector<uint32_t>{0}), find({31}, 40));
    EXPECT_EQ((std::vector<uint32_t>{0}), find({31}, 50));
    EXPECT_EQ((std::vector<uint32_t>{300, 0}), find({31, 14}, 40 + mib::SocketOwners::kFullScanMs));
}

}  // namespace
