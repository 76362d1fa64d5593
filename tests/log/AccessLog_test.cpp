// The daily access log: file names and the bytes of each kind of line.
#include "log/AccessLog.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/TestSupport.h"

namespace {

constexpr LocalTime kSept7{2000, 9, 7, 9, 5, 3};

bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(AccessLogFile, NameIsTheLocalDate) {
    EXPECT_EQ(AccessLogFileName(kSept7), "20000907_tolvara.log");
    EXPECT_EQ(AccessLogFileName(LocalTime{2024, 12, 31, 23, 59, 59}), "20241231_tolvara.log");
    EXPECT_EQ(AccessLogPath("/var/w", kSept7), "/var/w/20000907_tolvara.log");
}

TEST(AccessLogFile, MarksAndLinesAreAppendedByteForByte) {
    TempDir dir;
    WriteAccessLog(dir.path(), LOG_START, "ignored", kSept7);
    WriteAccessLog(dir.path(), LOG_LINE, "2000년 9월 7일 09:05:04 - <+++연결+++> 10.0.0.5 : 23 - 1047", kSept7);
    WriteAccessLog(dir.path(), LOG_END, "", LocalTime{2000, 9, 7, 18, 0, 0});
    EXPECT_EQ(ReadWholeFile(dir.file("20000907_tolvara.log")),
              "2000.09.07 09:05:03 - Start Log\n"
              "2000년 9월 7일 09:05:04 - <+++연결+++> 10.0.0.5 : 23 - 1047\n"
              "2000.09.07 18:00:00 - End Log\n");
}

TEST(AccessLogFile, RunPastMidnightContinuesInTheNextDaysFile) {
    TempDir dir;
    WriteAccessLog(dir.path(), LOG_START, "", LocalTime{2000, 12, 31, 23, 59, 58});
    WriteAccessLog(dir.path(), LOG_LINE, "before", LocalTime{2000, 12, 31, 23, 59, 59});
    WriteAccessLog(dir.path(), LOG_LINE, "after", LocalTime{2001, 1, 1, 0, 0, 1});
    WriteAccessLog(dir.path(), LOG_END, "", LocalTime{2001, 1, 1, 0, 0, 2});
    EXPECT_EQ(ReadWholeFile(dir.file("20001231_tolvara.log")), "2000.12.31 23:59:58 - Start Log\nbefore\n");
    EXPECT_EQ(ReadWholeFile(dir.file("20010101_tolvara.log")), "after\n2001.01.01 00:00:02 - End Log\n");
}

TEST(AccessLogFile, UnwritablePlaceIsAQuietNoOp) {
    TempDir dir;
    WriteAccessLog(dir.file("missing-dir"), LOG_START, "", kSept7);
    EXPECT_FALSE(Exists(dir.file("missing-dir")));
    // A very long directory name is simply a path that cannot be opened.
    WriteAccessLog(dir.path() + "/" + std::string(5000, 'd'), LOG_LINE, "x", kSept7);
    // The next write to a good place works again.
    WriteAccessLog(dir.path(), LOG_LINE, "x", kSept7);
    EXPECT_EQ(ReadWholeFile(dir.file("20000907_tolvara.log")), "x\n");
}

TEST(AccessLogFile, NothingGoesToAFifoAndNothingWaitsForOne) {
    TempDir dir;
    const std::string log = dir.file("20000907_tolvara.log");
    ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
    ::alarm(10);  // an open that waits for a reader ends the test instead of hanging it
    WriteAccessLog(dir.path(), LOG_START, "", kSept7);
    // With a reader there, the line must not reach it either.
    const int reader = ::open(log.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    WriteAccessLog(dir.path(), LOG_LINE, "x", kSept7);
    ::alarm(0);
    char c;
    EXPECT_LE(::read(reader, &c, 1), 0);  // no data, only the end of a FIFO without writers
    ::close(reader);
}

TEST(AccessLogFile, LineThatDoesNotFitOnAFullDiskLeavesNoTornLine) {
    if (::unshare(CLONE_NEWNS) != 0) GTEST_SKIP() << "no private mount namespace: " << std::strerror(errno);
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    TempDir dir;
    ASSERT_EQ(::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=64k"), 0) << std::strerror(errno);
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{dir.path()};

    const std::string log = dir.file("20000907_tolvara.log");
    const std::string start = "2000.09.07 09:05:03 - Start Log\n";
    WriteAccessLog(dir.path(), LOG_START, "", kSept7);
    // Every page but the log's own is taken, so a long line only partly fits.
    const std::string filler = dir.file("filler");
    WriteWholeFile(filler, std::string(64 * 1024, 'f'));
    std::string korean;
    while (korean.size() < 6000) korean += "연결 ";
    WriteAccessLog(dir.path(), LOG_LINE, korean, kSept7);
    WriteAccessLog(dir.path(), LOG_LINE, "short", kSept7);  // still fits the page
    EXPECT_EQ(ReadWholeFile(log), start + "short\n");

    ASSERT_EQ(::unlink(filler.c_str()), 0);
    WriteAccessLog(dir.path(), LOG_LINE, korean, kSept7);
    WriteAccessLog(dir.path(), LOG_END, "", kSept7);
    EXPECT_EQ(ReadWholeFile(log), start + "short\n" + korean + "\n2000.09.07 09:05:03 - End Log\n");
}
