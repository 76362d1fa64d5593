#pragma once
// The daily logs out to a table a spreadsheet or a script reads: one record per log
// line, as CSV (RFC 4180) or JSON Lines.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/LocalTime.h"

class CPortNameTable;

enum class ExportFormat { Csv, JsonLines };

// The format a file's name asks for: .csv, or .jsonl and .json, in either case; false
// for any other name.
bool ExportFormatForName(std::string_view path, ExportFormat& format);

// A day written YYYYMMDD, as the logs are named, into 20000907; false for anything but
// eight digits of a day that exists.
bool ParseLogDate(std::string_view text, int& date);

// Event names of the records; any other mark keeps its text.
inline constexpr const char* EVENT_CONNECT = "connect";
inline constexpr const char* EVENT_DISCONNECT = "disconnect";
inline constexpr const char* EVENT_LOG_START = "log start";
inline constexpr const char* EVENT_LOG_END = "log end";

// One log line as it reads, before its time is placed in the time zone. The connection
// fields are empty for a mark.
struct LogLine {
    LocalTime stamp;
    std::string event;
    std::string remoteAddress;
    std::string remoteService;  // as written: a service name, "Tolvara" or a number
    std::string localService;
};

enum class LineProblem {
    None,
    Foreign,     // not a line the program writes
    NoSuchTime,  // its date or time does not exist
    BadAddress,  // the remote address is neither IPv4 nor IPv6
    TooLong,
    Unreadable,  // the file could not be opened or read on
};
const char* LineProblemText(LineProblem problem);

// Reads one line (UTF-8, without its line end).
LineProblem ParseLogLine(std::string_view line, LogLine& out);

// The local wall-clock stamps of the logs as ISO 8601 times with the offset in force
// then. The hour a clock change repeats is read as the first pass unless that would put
// the line before the one ahead of it; a stamp in the hour a change skips keeps the
// offset from before the change. The wall-clock digits are always the line's own.
class LocalTimeStamper {
public:
    LocalTimeStamper();
    std::string Iso8601(const LocalTime& t);

private:
    int64_t last_ = INT64_MIN;
};

// A record: ports are -1 where the line has none or its name maps to no number; texts
// are empty where the line has none.
struct HistoryRecord {
    std::string time;
    std::string event;
    std::string remoteAddress;
    int remotePort = -1;
    std::string remoteService;
    int localPort = -1;
    std::string localService;
};

std::string CsvHeader();                         // ends with CR LF
std::string CsvRecord(const HistoryRecord& r);   // ends with CR LF
std::string JsonRecord(const HistoryRecord& r);  // one object, ends with LF

// A daily log file of a folder and its day (YYYYMMDD).
struct LogFile {
    std::string name;
    int date;
};
// The folder's daily logs of the days from..to (inclusive), oldest first. On false
// errorNumber holds why the folder could not be read.
bool FindLogFiles(const std::string& folder, int fromDate, int toDate, std::vector<LogFile>& files,
                  int& errorNumber);

inline constexpr int FIRST_LOG_DATE = 0;
inline constexpr int LAST_LOG_DATE = 99999999;

struct ExportRequest {
    std::string folder;  // where the daily logs are
    std::string output;  // a file, or "-" for standard output
    ExportFormat format = ExportFormat::Csv;
    bool byteOrderMark = false;  // CSV only: JSON text never has one
    int fromDate = FIRST_LOG_DATE;
    int toDate = LAST_LOG_DATE;
};

// A line left out: its file and line number (0 for the whole file).
struct ExportProblem {
    std::string file;
    int line;
    LineProblem what;
};
using ExportProblemSink = std::function<void(const ExportProblem&)>;

enum class ExportError {
    None,
    CannotReadFolder,
    CannotWrite,
    OutputIsLog,  // the output would replace one of the daily logs
};

struct ExportResult {
    ExportError error = ExportError::None;
    int errorNumber = 0;  // errno of a read or write error
    int files = 0;
    int records = 0;
    int problems = 0;
};

// Writes every line of the folder's daily logs in the date range, in date and line
// order, as records. Service names go back to numbers through the table. A line that
// cannot be read is reported and left out, and the export goes on. A file is replaced
// only when the export is complete; on an error it is as it was.
ExportResult ExportHistory(const ExportRequest& request, const CPortNameTable& portNames,
                           const ExportProblemSink& onProblem);
