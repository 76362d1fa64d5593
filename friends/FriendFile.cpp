#include "friends/FriendFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>

namespace {

// One read of a line takes at most this many bytes, the terminator not counted.
constexpr size_t kPieceBytes = 79;

// Splits the bytes into entries as line reads of kPieceBytes would, with CR LF read
// as a line feed so that a file written on Windows gives the same addresses.
class LineSplitter {
public:
    explicit LineSplitter(std::vector<std::string>& out) : out_(out) {}

    void Feed(char c) {
        if (pendingCr_) {
            pendingCr_ = false;
            if (c == '\n') return Take('\n');
            Take('\r');
        }
        if (c == '\r') pendingCr_ = true;
        else Take(c);
    }

    void Finish() {
        if (pendingCr_) Take('\r');
        pendingCr_ = false;
        if (!piece_.empty()) Emit();
    }

private:
    void Take(char c) {
        if (c == '\n') return Emit();
        piece_ += c;
        if (piece_.size() == kPieceBytes) Emit();
    }
    // A line is a C string: a NUL byte a hand editor left in it ends the entry.
    void Emit() {
        out_.push_back(piece_.substr(0, piece_.find('\0')));
        piece_.clear();
    }

    std::vector<std::string>& out_;
    std::string piece_;
    bool pendingCr_ = false;
};

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A new file beside the target, created exclusively so that nothing planted under the
// name (a link above all) is ever opened. -1 when none can be made.
int CreateTemporary(const std::string& path, std::string& name) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".tmp-%d-%u-%llx", static_cast<int>(::getpid()), counter++,
                      static_cast<unsigned long long>(now) & 0xFFFFFFull);
        name = path + suffix;
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace

std::vector<std::string> ReadFriendFile(const std::string& path) {
    std::vector<std::string> entries;
    // Non-blocking open and a regular file only: a FIFO by that name must not hang the
    // window thread.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return entries;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return entries;
    }
    LineSplitter lines(entries);
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) lines.Feed(buffer[i]);
    }
    lines.Finish();
    ::close(fd);
    return entries;
}

bool WriteFriendFile(const std::string& path, const std::vector<std::string>& entries) {
    if (entries.empty()) return ::unlink(path.c_str()) == 0 || errno == ENOENT;

    std::string content;
    for (const std::string& e : entries) content += e + '\n';

    std::string temporary;
    const int fd = CreateTemporary(path, temporary);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, content) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok) ok = ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself reaches the disk only with the directory; the list is already
    // whole either way, so a failure here changes nothing.
    const int dir = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}
