#pragma once
#include <functional>
#include <string>
#include <vector>

#include "platform/LocalTime.h"

inline constexpr int LOG_START = 0;
inline constexpr int LOG_LINE = 1;
inline constexpr int LOG_END = -1;

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

// The command line that opens a file in the user's editor: $VISUAL split on blanks,
// else xdg-open, followed by the file.
std::vector<std::string> EditorCommand(const std::string& file);

// Opens today's log in the user's text editor without waiting for it; true when the
// editor was started. Nothing is reported to the user.
bool OpenAccessLogInEditor(const std::string& workDir, const LocalTime& now);

// Replaces the way programs are started (tests); an empty function restores the real
// one. Returns the previous spawner.
ProgramSpawner SetProgramSpawner(ProgramSpawner spawner);
// The real spawner: double fork, so the editor is adopted by init and leaves no zombie.
bool SpawnDetached(const std::vector<std::string>& argv);
