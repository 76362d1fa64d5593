#include "log/AccessLog.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileUtil.h"
#include "platform/TextUtil.h"

namespace {

std::string FormatMark(const LocalTime& t, const char* what) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%d.%02d.%02d %02d:%02d:%02d - %s\n", t.year, t.month, t.day, t.hour,
                  t.minute, t.second, what);
    return buf;
}

// A line is in the file whole or not at all: on a full disk the part that fit is cut
// off again, or it would stay torn and the next line would be glued to it.
bool AppendWholeLine(int fd, const std::string& line) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    if (WriteAll(fd, line.data(), line.size())) return true;
    while (::ftruncate(fd, st.st_size) != 0 && errno == EINTR) {
    }
    return false;
}

}  // namespace

std::string AccessLogFileName(const LocalTime& now) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d%02d%02d_tolvara.log", now.year, now.month, now.day);
    return buf;
}

std::string AccessLogPath(const std::string& workDir, const LocalTime& now) {
    return JoinPath(workDir, AccessLogFileName(now));
}

void WriteAccessLog(const std::string& workDir, int mode, const std::string& text, const LocalTime& now) {
    std::string line;
    switch (mode) {
        case LOG_LINE: line = std::string(text.c_str()) + '\n'; break;
        case LOG_START: line = FormatMark(now, LOG_START_MARK); break;
        case LOG_END: line = FormatMark(now, LOG_END_MARK); break;
        default: break;
    }
    // Only a regular file is written: a FIFO by today's name would block us, a device
    // would swallow the line.
    const int fd = OpenRegularFile(AccessLogPath(workDir, now), O_WRONLY | O_APPEND | O_CREAT);
    if (fd < 0) return;
    if (!line.empty()) AppendWholeLine(fd, line);
    ::close(fd);
}
