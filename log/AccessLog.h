#pragma once
#include <functional>
#include <string>
#include <vector>

#include "platform/LocalTime.h"

inline constexpr int LOG_START = 0;
inline constexpr int LOG_LINE = 1;
inline constexpr int LOG_END = -1;
// What the start and end marks say after their date and time.
inline constexpr const char* LOG_START_MARK = "Start Log";
inline constexpr const char* LOG_END_MARK = "End Log";

// "YYYYMMDD_tolvara.log" for the given local date.
std::string AccessLogFileName(const LocalTime& now);
// The day's log file in workDir.
std::string AccessLogPath(const std::string& workDir, const LocalTime& now);

// Appends one line to the day's log: a start mark, the text, or an end mark. The file
// is opened and closed for each write; a file that cannot be opened, or that is not a
// regular file, is skipped quietly. A line that does not fit (disk full) leaves the
// file as it was.
void WriteAccessLog(const std::string& workDir, int mode, const std::string& text, const LocalTime& now);

// Starts a program detached from us; argv[0] is looked up in PATH. True when it was
// started.
using ProgramSpawner = std::function<bool(const std::vector<std::string>& argv)>;

// Whether the desktop names a program for plain text files (xdg-mime, as xdg-open
// consults it). A terminal editor from $VISUAL or $EDITOR is never used: the program
// has no terminal to run it in.
bool DesktopHasTextHandler();

// Opens today's log with the desktop's program for text files without waiting for it;
// false when the desktop has none or it could not be started, and the caller shows the
// log itself.
bool OpenAccessLogWithDesktop(const std::string& workDir, const LocalTime& now);

// Replaces the way programs are started (tests); an empty function restores the real
// one. Returns the previous spawner.
ProgramSpawner SetProgramSpawner(ProgramSpawner spawner);
// The real spawner: double fork, so the program is adopted by init and leaves no zombie.
bool SpawnDetached(const std::vector<std::string>& argv);
