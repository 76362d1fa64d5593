#include "log/AccessLog.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/FileUtil.h"
#include "platform/TextUtil.h"

namespace {

ProgramSpawner& CurrentSpawner() {
    static ProgramSpawner spawner;
    return spawner;
}

std::string FormatMark(const LocalTime& t, const char* what) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%d.%02d.%02d %02d:%02d:%02d - %s\n", t.year, t.month, t.day, t.hour,
                  t.minute, t.second, what);
    return buf;
}

bool WriteAllToPipe(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
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

bool DesktopHasTextHandler() {
    // The query is a short script; its answer is the handler's .desktop name, or nothing.
    FILE* query = ::popen("command -v xdg-open >/dev/null 2>&1 && timeout 5 xdg-mime query default text/plain 2>/dev/null", "r");
    if (!query) return false;
    char answer[256] = {};
    const size_t n = std::fread(answer, 1, sizeof answer - 1, query);
    ::pclose(query);
    for (size_t i = 0; i < n; ++i)
        if (answer[i] != ' ' && answer[i] != '\n' && answer[i] != '\t') return true;
    return false;
}

bool OpenAccessLogWithDesktop(const std::string& workDir, const LocalTime& now) {
    if (!DesktopHasTextHandler()) return false;
    const std::vector<std::string> argv = {"xdg-open", AccessLogPath(workDir, now)};
    const ProgramSpawner& spawner = CurrentSpawner();
    return spawner ? spawner(argv) : SpawnDetached(argv);
}

ProgramSpawner SetProgramSpawner(ProgramSpawner spawner) {
    ProgramSpawner previous = std::move(CurrentSpawner());
    CurrentSpawner() = std::move(spawner);
    return previous;
}

bool SpawnDetached(const std::vector<std::string>& argv) {
    if (argv.empty()) return false;
    // Everything the children need is prepared before fork: after it, only calls that
    // are safe in a child of a threaded process.
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    // The grandchild reports a failed exec through this pipe; a successful exec closes
    // it unwritten.
    int status[2];
    if (::pipe2(status, O_CLOEXEC) != 0) return false;

    const pid_t child = ::fork();
    if (child < 0) {
        ::close(status[0]);
        ::close(status[1]);
        return false;
    }
    if (child == 0) {
        ::close(status[0]);
        const pid_t grandchild = ::fork();
        if (grandchild < 0) {
            int err = errno;
            WriteAllToPipe(status[1], &err, sizeof err);
            ::_exit(1);
        }
        if (grandchild > 0) ::_exit(0);
        ::setsid();
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &dfl, nullptr);
        ::sigaction(SIGCHLD, &dfl, nullptr);
        ::execvp(args[0], args.data());
        int err = errno;
        WriteAllToPipe(status[1], &err, sizeof err);
        ::_exit(127);
    }

    ::close(status[1]);
    int childStatus = 0;
    while (::waitpid(child, &childStatus, 0) < 0 && errno == EINTR) {
    }
    int err = 0;
    ssize_t n;
    do {
        n = ::read(status[0], &err, sizeof err);
    } while (n < 0 && errno == EINTR);
    ::close(status[0]);
    return n == 0;
}
