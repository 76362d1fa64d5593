// Logout, kill and Ctrl+C end the real program as its exit command does: the log's end
// mark is written and the process ends cleanly.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "app/MonitorSettings.h"
#include "log/AccessLog.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

class ExitSignals : public ::testing::TestWithParam<int> {};

}  // namespace

TEST_P(ExitSignals, EndTheProgramThroughTheExitCommand) {
    TempDir work;
    MonitorSettings s = DefaultSettings();
    s.keepAccessLog = 1;
    const auto bytes = EncodeSettings(s);
    WriteWholeFile(work.file(SETTINGS_FILE_NAME), std::string(bytes.begin(), bytes.end()));

    ChildProcess program({std::string(TOLVARA_BIN_DIR) + "/tolvara"}, work.path(), work.file("output.txt"),
                         {"QT_QPA_PLATFORM=offscreen"});
    const LocalTime now = NowLocal();
    const std::string log = AccessLogPath(work.path(), now);
    for (int i = 0; i < 300 && ReadWholeFile(log).find("Start Log") == std::string::npos; ++i)
        std::this_thread::sleep_for(50ms);
    ASSERT_NE(ReadWholeFile(log).find("Start Log"), std::string::npos) << ReadWholeFile(work.file("output.txt"));

    program.Signal(GetParam());
    const std::optional<int> status = program.WaitExit(10000ms);
    ASSERT_TRUE(status.has_value()) << "still running after signal " << GetParam();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    const std::string text = ReadWholeFile(log);
    EXPECT_NE(text.find("End Log\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("End Log\n"), text.size() - 8) << text;
}

INSTANTIATE_TEST_SUITE_P(TermHupInt, ExitSignals, ::testing::Values(SIGTERM, SIGHUP, SIGINT));
