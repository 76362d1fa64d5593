// The built program's own options, with no display to be had: --help and --version
// answer on standard output and succeed, a wrong option or value fails with the usage on
// standard error, and Qt's own options are let through.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace {

struct Outcome {
    int status = -1;  // exit status, or -1 when it did not exit by itself
    std::string out, err;
};

// The program in dir with the arguments, no DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM
// in its environment; its standard output and error apart.
Outcome RunProgram(const TempDir& dir, const std::vector<std::string>& args) {
    const TempDir scratch;
    std::vector<std::string> argv = {"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM",
                                     "sh", "-c", "exec \"$0\" \"$@\" 2>\"$TOLVARA_TEST_ERR\"",
                                     std::string(TOLVARA_BIN_DIR) + "/tolvara"};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess program(argv, dir.path(), scratch.file("out"), {"TOLVARA_TEST_ERR=" + scratch.file("err")});
    Outcome o;
    if (const auto status = program.WaitExit(std::chrono::seconds(20)); status && WIFEXITED(*status))
        o.status = WEXITSTATUS(*status);
    o.out = ReadWholeFile(scratch.file("out"));
    o.err = ReadWholeFile(scratch.file("err"));
    return o;
}

bool StartsWith(const std::string& s, const std::string& start) { return s.compare(0, start.size(), start) == 0; }

}  // namespace

TEST(CommandLine, AnswersAndRefusalsNeedNoDisplay) {
    TempDir dir;
    Outcome help = RunProgram(dir, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(StartsWith(help.out, "Usage: tolvara")) << help.out;
    EXPECT_NE(help.out.find("--export-log FILE"), std::string::npos);
    EXPECT_EQ(help.err, "");

    // Qt's options before ours are let through, as run.sh passes them on.
    const Outcome version = RunProgram(dir, {"-platform", "offscreen", "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "Tolvara 1.0 Beta\n");
    EXPECT_EQ(version.err, "");

    const std::vector<std::vector<std::string>> refused = {
        {"--bogus"},
        {"-platform"},                                      // a Qt option without its value
        {"--export-log", "history.txt"},                    // no known format
        {"--export-log", "history.csv", "--from", "20240230"},  // no such day
        {"--bom"},                                          // only with --export-log
        {"stray"},
    };
    for (const auto& args : refused) {
        const Outcome o = RunProgram(dir, args);
        EXPECT_EQ(o.status, 2) << args[0];
        EXPECT_EQ(o.out, "") << args[0];
        EXPECT_TRUE(StartsWith(o.err, "tolvara: ")) << o.err;
        EXPECT_NE(o.err.find("Usage: tolvara"), std::string::npos) << o.err;
    }

    // A file that cannot be written is an error of its own, and leaves nothing behind.
    const Outcome unwritable = RunProgram(dir, {"--export-log", "no-such-folder/history.csv"});
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_EQ(unwritable.err.rfind("tolvara: cannot write no-such-folder/history.csv: ", 0), 0u) << unwritable.err;
}
