// The history export: which logs are read and in what order, what each line becomes,
// what is left out and reported, times around clock changes, and a failed write.
#include "log/HistoryExport.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/TextUtil.h"
#include "ports/CPortNameTable.h"
#include "support/TestSupport.h"

namespace {

// The process's time zone while it lives.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (old_.empty()) ::unsetenv("TZ");
        else ::setenv("TZ", old_.c_str(), 1);
        ::tzset();
    }

private:
    std::string old_;
};

struct Exported {
    ExportResult result;
    std::vector<std::string> problems;  // "file:line what"
};

Exported Export(const ExportRequest& request, const CPortNameTable& names) {
    Exported e;
    e.result = ExportHistory(request, names, [&](const ExportProblem& p) {
        e.problems.push_back(p.file + ":" + std::to_string(p.line) + " " + LineProblemText(p.what));
    });
    return e;
}

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        ::closedir(d);
    }
    return names;
}

}  // namespace

TEST(HistoryExport, EveryLineOfTheRangeInDateOrderAndBadLinesReportedWhileTheExportGoesOn) {
    ScopedTimeZone kst("KST-9");
    TempDir work;
    WriteWholeFile(work.file("services"), "telnet 23/tcp\ndns 23/udp\nwe\"ird,x 8080/tcp\n");
    const CPortNameTable names(work.file("services"), work.file("none"));
    WriteWholeFile(work.file("20240102_tolvara.log"),
                   "2024.01.02 08:00:00 - Start Log\n"
                   "2024년 1월 2일 08:00:01 - <+++연결+++> 10.1.2.3 : telnet - Tolvara\n"
                   "garbage\n"
                   "2024년 2월 30일 08:00:02 - <---단절---> 10.1.2.3 : telnet - Tolvara\n"
                   "2024년 1월 2일 08:00:03 - <---단절---> 999.1.2.3 : 23 - 1025\n"
                   "2024년 1월 2일 08:00:04 - <---단절---> ::1 : dns - 8080\r\n"
                   "2024년 1월 2일 08:00:05 - <+++연결+++> [fe80::1%eth0] : we\"ird,x - 1026");
    // A day kept in the Korean code page, a mark of another kind and a line of no end.
    WriteWholeFile(work.file("20240101_tolvara.log"),
                   Utf8ToCp949("2024년 1월 1일 23:59:58 - <+++연결+++> 10.0.0.9 : 80 - 1027\n") +
                       "2024.01.01 23:59:59 - Pause, Log\n" + std::string(5000, 'x') + "\n");
    WriteWholeFile(work.file("20240103_tolvara.log"), "2024.01.03 00:00:00 - Start Log\n");
    WriteWholeFile(work.file("2024010_tolvara.log"), "2024.01.01 00:00:00 - Start Log\n");
    WriteWholeFile(work.file("notes.txt"), "2024.01.01 00:00:00 - Start Log\n");

    ExportRequest request;
    request.folder = work.path();
    request.output = work.file("out.csv");
    request.byteOrderMark = true;
    request.toDate = 20240102;
    const Exported csv = Export(request, names);
    EXPECT_EQ(csv.result.error, ExportError::None);
    EXPECT_EQ(csv.result.files, 2);
    EXPECT_EQ(csv.result.records, 6);
    const std::vector<std::string> problems = {
        "20240101_tolvara.log:3 line too long",        "20240102_tolvara.log:3 not a line of the log",
        "20240102_tolvara.log:4 no such date or time", "20240102_tolvara.log:5 not an IP address"};
    EXPECT_EQ(csv.problems, problems);
    EXPECT_EQ(ReadWholeFile(work.file("out.csv")),
              "\xEF\xBB\xBFtime,event,remote_address,remote_port,remote_service,local_port,local_service\r\n"
              "2024-01-01T23:59:58+09:00,connect,10.0.0.9,80,80,1027,1027\r\n"
              "2024-01-01T23:59:59+09:00,\"Pause, Log\",,,,,\r\n"
              "2024-01-02T08:00:00+09:00,log start,,,,,\r\n"
              "2024-01-02T08:00:01+09:00,connect,10.1.2.3,23,telnet,44444,Tolvara\r\n"
              "2024-01-02T08:00:04+09:00,disconnect,::1,,dns,8080,8080\r\n"
              "2024-01-02T08:00:05+09:00,connect,[fe80::1%eth0],8080,\"we\"\"ird,x\",1026,1026\r\n");

    request.output = work.file("out.jsonl");
    request.format = ExportFormat::JsonLines;  // and no byte-order mark, although asked for
    request.fromDate = request.toDate = 20240102;
    const Exported json = Export(request, names);
    EXPECT_EQ(json.result.records, 4);
    EXPECT_EQ(ReadWholeFile(work.file("out.jsonl")),
              "{\"time\":\"2024-01-02T08:00:00+09:00\",\"event\":\"log start\",\"remote_address\":null,"
              "\"remote_port\":null,\"remote_service\":null,\"local_port\":null,\"local_service\":null}\n"
              "{\"time\":\"2024-01-02T08:00:01+09:00\",\"event\":\"connect\",\"remote_address\":\"10.1.2.3\","
              "\"remote_port\":23,\"remote_service\":\"telnet\",\"local_port\":44444,\"local_service\":\"Tolvara\"}\n"
              "{\"time\":\"2024-01-02T08:00:04+09:00\",\"event\":\"disconnect\",\"remote_address\":\"::1\","
              "\"remote_port\":null,\"remote_service\":\"dns\",\"local_port\":8080,\"local_service\":\"8080\"}\n"
              "{\"time\":\"2024-01-02T08:00:05+09:00\",\"event\":\"connect\",\"remote_address\":\"[fe80::1%eth0]\","
              "\"remote_port\":8080,\"remote_service\":\"we\\\"ird,x\",\"local_port\":1026,\"local_service\":\"1026\"}\n");

    // The export never replaces a daily log, whatever format it is asked for.
    request.output = work.file("20240102_tolvara.log");
    EXPECT_EQ(Export(request, names).result.error, ExportError::OutputIsLog);
    EXPECT_EQ(ReadWholeFile(work.file("20240103_tolvara.log")), "2024.01.03 00:00:00 - Start Log\n");
}

TEST(HistoryExport, ClockChangesKeepTheLinesWallClockWithTheOffsetInForce) {
    {
        ScopedTimeZone cet("CET-1CEST,M3.5.0,M10.5.0/3");
        LocalTimeStamper stamper;
        EXPECT_EQ(stamper.Iso8601({2024, 3, 31, 1, 59, 59}), "2024-03-31T01:59:59+01:00");
        // An hour the clock skips: only a clock set by hand writes it; the digits stay.
        EXPECT_EQ(stamper.Iso8601({2024, 3, 31, 2, 30, 0}), "2024-03-31T02:30:00+01:00");
        EXPECT_EQ(stamper.Iso8601({2024, 3, 31, 3, 0, 0}), "2024-03-31T03:00:00+02:00");
        // The hour that comes twice: first in summer time, then, once the lines go back
        // on the clock, in winter time until it is over.
        EXPECT_EQ(stamper.Iso8601({2024, 10, 27, 2, 30, 0}), "2024-10-27T02:30:00+02:00");
        EXPECT_EQ(stamper.Iso8601({2024, 10, 27, 2, 10, 0}), "2024-10-27T02:10:00+01:00");
        EXPECT_EQ(stamper.Iso8601({2024, 10, 27, 2, 40, 0}), "2024-10-27T02:40:00+01:00");
        EXPECT_EQ(stamper.Iso8601({2024, 10, 27, 3, 0, 0}), "2024-10-27T03:00:00+01:00");
    }
    ScopedTimeZone newfoundland("NST3:30");
    EXPECT_EQ(LocalTimeStamper().Iso8601({2024, 1, 2, 3, 4, 5}), "2024-01-02T03:04:05-03:30");
}

TEST(HistoryExport, AWriteThatFailsLeavesTheOldFileAndNoPartOfTheNewOne) {
    if (::unshare(CLONE_NEWNS) != 0) GTEST_SKIP() << "no private mount namespace: " << std::strerror(errno);
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    TempDir logs, out;
    ASSERT_EQ(::mount("tmpfs", out.path().c_str(), "tmpfs", 0, "size=64k"), 0) << std::strerror(errno);
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{out.path()};

    std::string day;
    for (int i = 0; i < 3000; ++i) day += "2024년 1월 2일 08:00:01 - <+++연결+++> 10.1.2.3 : 23 - 1025\n";
    WriteWholeFile(logs.file("20240102_tolvara.log"), day);
    WriteWholeFile(out.file("history.csv"), "old");
    const CPortNameTable names(logs.file("none"), logs.file("none"));
    ExportRequest request;
    request.folder = logs.path();
    request.output = out.file("history.csv");
    const Exported e = Export(request, names);
    EXPECT_EQ(e.result.error, ExportError::CannotWrite);
    EXPECT_EQ(e.result.errorNumber, ENOSPC);
    EXPECT_EQ(ReadWholeFile(out.file("history.csv")), "old");
    EXPECT_EQ(FilesIn(out.path()), std::vector<std::string>{"history.csv"});
}
