#include "log/HistoryExport.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>

#include "log/AccessLog.h"
#include "monitor/ConnectionHistory.h"
#include "platform/FileUtil.h"
#include "platform/TextUtil.h"
#include "ports/CPortNameTable.h"

namespace {

// The program writes lines of well under 200 bytes; anything this long is not one.
constexpr size_t kMaxLineBytes = 4096;
constexpr size_t kReadBlock = 64 * 1024;
constexpr size_t kWriteBlock = 64 * 1024;
constexpr const char* kLogNameEnd = "_tolvara.log";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EndsWithNoCase(std::string_view s, std::string_view end) {
    if (s.size() < end.size()) return false;
    for (size_t i = 0; i < end.size(); ++i)
        if (Lower(s[s.size() - end.size() + i]) != end[i]) return false;
    return true;
}

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeapYear(y) ? 29 : days[m - 1];
}

bool IsRealTime(const LocalTime& t) {
    return t.year >= 1 && t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= DaysInMonth(t.year, t.month) &&
           t.hour <= 23 && t.minute <= 59 && t.second <= 59;
}

// Reads a line from left to right.
class Cursor {
public:
    explicit Cursor(std::string_view s) : s_(s) {}

    bool Literal(std::string_view lit) {
        if (s_.substr(pos_).substr(0, lit.size()) != lit) return false;
        pos_ += lit.size();
        return true;
    }
    // Digits as printf writes them: "%d" has no leading zero, "%02d" two digits.
    bool Number(size_t minDigits, size_t maxDigits, int& value) {
        size_t n = 0;
        int v = 0;
        while (pos_ + n < s_.size() && IsDigit(s_[pos_ + n]) && n < maxDigits) v = v * 10 + (s_[pos_ + n++] - '0');
        if (n < minDigits || (pos_ + n < s_.size() && IsDigit(s_[pos_ + n]))) return false;
        if (n > minDigits && s_[pos_] == '0') return false;
        pos_ += n;
        value = v;
        return true;
    }
    // HH:MM:SS
    bool Clock(LocalTime& t) {
        return Number(2, 2, t.hour) && Literal(":") && Number(2, 2, t.minute) && Literal(":") && Number(2, 2, t.second);
    }
    std::string_view Rest() const { return s_.substr(pos_); }

private:
    std::string_view s_;
    size_t pos_ = 0;
};

// A word of the line: not empty, no blank and no control character.
bool IsWord(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return false;
    return true;
}

bool IsMarkText(std::string_view s) {
    if (s.empty() || s.front() == ' ' || s.back() == ' ') return false;
    for (char c : s)
        if (static_cast<unsigned char>(c) < ' ' || c == 0x7F) return false;
    return true;
}

// An IPv4 or IPv6 address as text, an IPv6 one with or without brackets and with an
// optional zone.
bool IsAddressText(std::string_view a) {
    if (a.size() >= 2 && a.front() == '[' && a.back() == ']') a = a.substr(1, a.size() - 2);
    if (IsDottedIPv4(a)) return true;
    const size_t zone = a.find('%');
    if (zone != std::string_view::npos) {
        const std::string_view name = a.substr(zone + 1);
        if (!IsWord(name) || name.size() > 64) return false;
        a = a.substr(0, zone);
    }
    return IsIPv6Text(a);
}

// "D년 M월 D일 HH:MM:SS - WORD ADDRESS : REMOTE - LOCAL"
LineProblem ParseHistoryLine(std::string_view line, LogLine& out, bool& matched) {
    Cursor c(line);
    LocalTime t;
    matched = c.Number(1, 4, t.year) && c.Literal("년 ") && c.Number(1, 2, t.month) && c.Literal("월 ") &&
              c.Number(1, 2, t.day) && c.Literal("일 ") && c.Clock(t) && c.Literal(" - ");
    if (!matched) return LineProblem::Foreign;
    if (!IsRealTime(t)) return LineProblem::NoSuchTime;

    const std::string_view rest = c.Rest();
    const size_t wordEnd = rest.find(' ');
    if (wordEnd == std::string_view::npos) return LineProblem::Foreign;
    const std::string_view word = rest.substr(0, wordEnd);
    // An address holds no blank, so the first " : " ends it, IPv6 colons and all.
    const std::string_view connection = rest.substr(wordEnd + 1);
    const size_t colon = connection.find(" : ");
    if (colon == std::string_view::npos) return LineProblem::Foreign;
    const std::string_view address = connection.substr(0, colon);
    const std::string_view ports = connection.substr(colon + 3);
    const size_t dash = ports.find(" - ");
    if (dash == std::string_view::npos) return LineProblem::Foreign;
    const std::string_view remote = ports.substr(0, dash), local = ports.substr(dash + 3);
    if (!IsWord(word) || !IsWord(remote) || !IsWord(local)) return LineProblem::Foreign;
    if (!IsWord(address) || !IsAddressText(address)) return LineProblem::BadAddress;

    out = LogLine{};
    out.stamp = t;
    if (word == EVENT_WORD_CONNECT) out.event = EVENT_CONNECT;
    else if (word == EVENT_WORD_DISCONNECT) out.event = EVENT_DISCONNECT;
    else out.event = word;
    out.remoteAddress = address;
    out.remoteService = remote;
    out.localService = local;
    return LineProblem::None;
}

// "YYYY.MM.DD HH:MM:SS - TEXT"
LineProblem ParseMarkLine(std::string_view line, LogLine& out) {
    Cursor c(line);
    LocalTime t;
    if (!(c.Number(1, 4, t.year) && c.Literal(".") && c.Number(2, 2, t.month) && c.Literal(".") &&
          c.Number(2, 2, t.day) && c.Literal(" ") && c.Clock(t) && c.Literal(" - ")))
        return LineProblem::Foreign;
    if (!IsRealTime(t)) return LineProblem::NoSuchTime;
    const std::string_view text = c.Rest();
    if (!IsMarkText(text)) return LineProblem::Foreign;
    out = LogLine{};
    out.stamp = t;
    if (text == LOG_START_MARK) out.event = EVENT_LOG_START;
    else if (text == LOG_END_MARK) out.event = EVENT_LOG_END;
    else out.event = text;
    return LineProblem::None;
}

LineProblem ParseUtf8Line(std::string_view line, LogLine& out) {
    bool history = false;
    const LineProblem problem = ParseHistoryLine(line, out, history);
    return history ? problem : ParseMarkLine(line, out);
}

// Seconds east of UTC in force at t.
long OffsetAt(int64_t t) {
    const std::time_t at = static_cast<std::time_t>(t);
    std::tm local{};
    if (!::localtime_r(&at, &local)) return 0;
    return local.tm_gmtoff;
}

void AppendCsvField(std::string& out, std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += field;
        return;
    }
    out += '"';
    for (char c : field) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

void AppendJsonString(std::string& out, std::string_view s) {
    out += '"';
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", c);
                    out += esc;
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
}

// One field of a record: its name and either its text or its port (-1: none).
struct RecordField {
    const char* name;
    const std::string* text;
    int port;
};

std::array<RecordField, 7> FieldsOf(const HistoryRecord& r) {
    return {{{"time", &r.time, -1},
             {"event", &r.event, -1},
             {"remote_address", &r.remoteAddress, -1},
             {"remote_port", nullptr, r.remotePort},
             {"remote_service", &r.remoteService, -1},
             {"local_port", nullptr, r.localPort},
             {"local_service", &r.localService, -1}}};
}

// Lines of a file, read a block at a time; a line longer than kMaxLineBytes is passed
// over whole.
class LineReader {
public:
    enum Result { Line, TooLong, End, Failed };
    explicit LineReader(int fd) : fd_(fd) {}

    Result Next(std::string& line) {
        bool skipping = false;
        for (;;) {
            const size_t newline = buffer_.find('\n', pos_);
            if (newline != std::string::npos) {
                const size_t length = newline - pos_;
                if (!skipping && length <= kMaxLineBytes) line.assign(buffer_, pos_, length);
                pos_ = newline + 1;
                return skipping || length > kMaxLineBytes ? TooLong : Line;
            }
            if (buffer_.size() - pos_ > kMaxLineBytes) {
                skipping = true;
                pos_ = buffer_.size();
            }
            if (ended_) {
                if (pos_ >= buffer_.size()) return skipping ? TooLong : End;
                line.assign(buffer_, pos_, std::string::npos);  // the last line has no line feed
                pos_ = buffer_.size();
                return skipping ? TooLong : Line;
            }
            buffer_.erase(0, pos_);
            pos_ = 0;
            const size_t have = buffer_.size();
            buffer_.resize(have + kReadBlock);
            ssize_t n;
            do {
                n = ::read(fd_, buffer_.data() + have, kReadBlock);
            } while (n < 0 && errno == EINTR);
            buffer_.resize(have + static_cast<size_t>(std::max<ssize_t>(n, 0)));
            if (n < 0) return Failed;
            if (n == 0) ended_ = true;
        }
    }

private:
    int fd_;
    std::string buffer_;
    size_t pos_ = 0;
    bool ended_ = false;
};

// Where the records go: a file replaced at the end, or standard output.
class ExportOutput {
public:
    explicit ExportOutput(const std::string& path) {
        if (path != "-") file_.emplace(path);
    }
    int Error() const { return file_ ? file_->Error() : error_; }

    bool Write(std::string_view bytes) {
        pending_ += bytes;
        return pending_.size() < kWriteBlock || Flush();
    }
    bool Finish() { return Flush() && (!file_ || file_->Commit()); }

private:
    bool Flush() {
        bool ok;
        if (file_) {
            ok = file_->Write(pending_.data(), pending_.size());
        } else {
            errno = 0;
            ok = error_ == 0 && WriteAll(STDOUT_FILENO, pending_.data(), pending_.size());
            if (!ok && error_ == 0) error_ = errno ? errno : EIO;
        }
        pending_.clear();
        return ok;
    }

    std::optional<FileReplacement> file_;
    std::string pending_;
    int error_ = 0;
};

bool IsLogFileName(std::string_view name, int& date) {
    return name.size() == 8 + std::string_view(kLogNameEnd).size() && name.substr(8) == kLogNameEnd &&
           ParseLogDate(name.substr(0, 8), date);
}

std::string_view BaseName(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool ExportFormatForName(std::string_view path, ExportFormat& format) {
    if (EndsWithNoCase(path, ".csv")) format = ExportFormat::Csv;
    else if (EndsWithNoCase(path, ".jsonl") || EndsWithNoCase(path, ".json")) format = ExportFormat::JsonLines;
    else return false;
    return true;
}

bool ParseLogDate(std::string_view text, int& date) {
    if (text.size() != 8 || !std::all_of(text.begin(), text.end(), IsDigit)) return false;
    const int value = std::stoi(std::string(text));
    const LocalTime day{value / 10000, value / 100 % 100, value % 100, 0, 0, 0};
    if (!IsRealTime(day)) return false;
    date = value;
    return true;
}

const char* LineProblemText(LineProblem problem) {
    switch (problem) {
        case LineProblem::None: return "";
        case LineProblem::Foreign: return "not a line of the log";
        case LineProblem::NoSuchTime: return "no such date or time";
        case LineProblem::BadAddress: return "not an IP address";
        case LineProblem::TooLong: return "line too long";
        case LineProblem::Unreadable: return "cannot be read";
    }
    return "";
}

LineProblem ParseLogLine(std::string_view line, LogLine& out) {
    if (IsValidUtf8(line)) return ParseUtf8Line(line, out);
    // A line with stray bytes is read with them replaced; one that reads as nothing then
    // may come from a log kept in the Korean code page.
    const LineProblem asUtf8 = ParseUtf8Line(ReplaceInvalidUtf8(line), out);
    if (asUtf8 == LineProblem::None) return asUtf8;
    return ParseUtf8Line(Cp949ToUtf8(line), out) == LineProblem::None ? LineProblem::None : asUtf8;
}

LocalTimeStamper::LocalTimeStamper() { ::tzset(); }

std::string LocalTimeStamper::Iso8601(const LocalTime& t) {
    std::tm fields{};
    fields.tm_year = t.year - 1900;
    fields.tm_mon = t.month - 1;
    fields.tm_mday = t.day;
    fields.tm_hour = t.hour;
    fields.tm_min = t.minute;
    fields.tm_sec = t.second;
    // The wall clock read as if it were UTC; the instant is that minus the offset.
    const int64_t wall = ::timegm(&fields);
    // The offsets on either side of any change near this day.
    const long before = OffsetAt(wall - 36 * 3600), after = OffsetAt(wall + 36 * 3600);
    const bool beforeFits = OffsetAt(wall - before) == before;
    const bool afterFits = before != after && OffsetAt(wall - after) == after;
    long offset = before;
    if (beforeFits && afterFits) {
        // The repeated hour: the earlier instant while the lines keep going forward.
        const long earlier = std::max(before, after), later = std::min(before, after);
        offset = wall - earlier >= last_ ? earlier : later;
    } else if (afterFits) {
        offset = after;
    }
    last_ = wall - offset;

    const char sign = offset < 0 ? '-' : '+';
    const long magnitude = offset < 0 ? -offset : offset;
    char text[64];
    int n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", t.year, t.month, t.day,
                          t.hour, t.minute, t.second, sign, magnitude / 3600, magnitude / 60 % 60);
    // Local mean times of old zones have seconds; they are kept rather than rounded.
    if (magnitude % 60 != 0 && n > 0 && static_cast<size_t>(n) < sizeof text)
        std::snprintf(text + n, sizeof text - static_cast<size_t>(n), ":%02ld", magnitude % 60);
    return text;
}

std::string CsvHeader() {
    std::string out;
    for (const RecordField& f : FieldsOf(HistoryRecord{})) {
        if (!out.empty()) out += ',';
        out += f.name;
    }
    return out + "\r\n";
}

std::string CsvRecord(const HistoryRecord& r) {
    std::string out;
    const char* separator = "";
    for (const RecordField& f : FieldsOf(r)) {
        out += separator;
        separator = ",";
        if (f.text) AppendCsvField(out, *f.text);
        else if (f.port >= 0) out += std::to_string(f.port);
    }
    return out + "\r\n";
}

std::string JsonRecord(const HistoryRecord& r) {
    std::string out = "{";
    for (const RecordField& f : FieldsOf(r)) {
        if (out.size() > 1) out += ',';
        out += '"';
        out += f.name;
        out += "\":";
        // Absent values are null: a mark's connection fields, an unmapped name's port.
        if (f.text && !f.text->empty()) AppendJsonString(out, *f.text);
        else if (!f.text && f.port >= 0) out += std::to_string(f.port);
        else out += "null";
    }
    return out + "}\n";
}

bool FindLogFiles(const std::string& folder, int fromDate, int toDate, std::vector<LogFile>& files,
                  int& errorNumber) {
    files.clear();
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.empty() ? "." : folder.c_str()), ::closedir);
    if (!dir) {
        errorNumber = errno;
        return false;
    }
    for (errno = 0; const dirent* e = ::readdir(dir.get()); errno = 0) {
        int date;
        if (IsLogFileName(e->d_name, date) && date >= fromDate && date <= toDate) files.push_back({e->d_name, date});
    }
    if (errno != 0) {
        errorNumber = errno;
        return false;
    }
    std::sort(files.begin(), files.end(), [](const LogFile& a, const LogFile& b) { return a.date < b.date; });
    return true;
}

ExportResult ExportHistory(const ExportRequest& request, const CPortNameTable& portNames,
                           const ExportProblemSink& onProblem) {
    ExportResult result;
    int date;
    if (IsLogFileName(BaseName(request.output), date)) {
        result.error = ExportError::OutputIsLog;
        return result;
    }
    std::vector<LogFile> files;
    if (!FindLogFiles(request.folder, request.fromDate, request.toDate, files, result.errorNumber)) {
        result.error = ExportError::CannotReadFolder;
        return result;
    }
    ExportOutput out(request.output);
    auto failed = [&] {
        result.error = ExportError::CannotWrite;
        result.errorNumber = out.Error();
        return result;
    };
    if (out.Error() != 0) return failed();

    const bool csv = request.format == ExportFormat::Csv;
    if (csv && !out.Write((request.byteOrderMark ? "\xEF\xBB\xBF" : "") + CsvHeader())) return failed();

    auto report = [&](const std::string& file, int line, LineProblem what) {
        ++result.problems;
        if (onProblem) onProblem(ExportProblem{file, line, what});
    };
    const ServicePortIndex ports(portNames);
    LocalTimeStamper stamper;
    for (const LogFile& file : files) {
        const int fd = OpenRegularFileForReading(JoinPath(request.folder, file.name));
        if (fd < 0) {
            report(file.name, 0, LineProblem::Unreadable);
            continue;
        }
        ++result.files;
        LineReader reader(fd);
        std::string text;
        int number = 0;
        for (LineReader::Result r; (r = reader.Next(text)) != LineReader::End;) {
            ++number;
            if (r == LineReader::Failed) {
                report(file.name, number, LineProblem::Unreadable);
                break;
            }
            if (r == LineReader::TooLong) {
                report(file.name, number, LineProblem::TooLong);
                continue;
            }
            if (!text.empty() && text.back() == '\r') text.pop_back();  // a log kept on Windows
            LogLine line;
            if (const LineProblem problem = ParseLogLine(text, line); problem != LineProblem::None) {
                report(file.name, number, problem);
                continue;
            }
            HistoryRecord record;
            record.time = stamper.Iso8601(line.stamp);
            record.event = std::move(line.event);
            if (!line.remoteAddress.empty()) {
                record.remotePort = ports.PortOf(line.remoteService);
                record.localPort = ports.PortOf(line.localService);
            }
            record.remoteAddress = std::move(line.remoteAddress);
            record.remoteService = std::move(line.remoteService);
            record.localService = std::move(line.localService);
            if (!out.Write(csv ? CsvRecord(record) : JsonRecord(record))) {
                ::close(fd);
                return failed();
            }
            ++result.records;
        }
        ::close(fd);
    }
    if (!out.Finish()) return failed();
    return result;
}
