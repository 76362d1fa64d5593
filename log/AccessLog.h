#pragma once
#include <string>

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
