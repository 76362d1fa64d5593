#include "platform/FileUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <new>
#include <utility>

namespace {

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A new file beside path under a name nobody could have planted in advance; -1 when
// none can be made.
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

int OpenRegularFile(const std::string& path, int accessFlags, mode_t mode) {
    const int fd = ::open(path.c_str(), accessFlags | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    // Back to ordinary blocking reads and writes, which a regular file serves anyway.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

int OpenRegularFileForReading(const std::string& path) { return OpenRegularFile(path, O_RDONLY); }

bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& out, bool* cut) {
    out.clear();
    if (cut) *cut = false;
    const int fd = OpenRegularFileForReading(path);
    if (fd < 0) return false;
    struct stat st {};
    const size_t expected = ::fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
    // One byte past the bound tells whether the file goes on.
    const size_t want = maxBytes == SIZE_MAX ? SIZE_MAX : maxBytes + 1;
    size_t used = 0;
    bool ok = true;
    try {
        out.resize(std::min(want, std::max<size_t>(expected + 1, 4096)));
        for (;;) {
            if (used == out.size()) {
                if (used == want) break;
                out.resize(std::min(want, used * 2));
            }
            const ssize_t n = ::read(fd, out.data() + used, out.size() - used);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) ok = false;
            if (n <= 0) break;
            used += static_cast<size_t>(n);
        }
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    ::close(fd);
    if (!ok) {
        out.clear();
        return false;
    }
    if (used > maxBytes) {
        used = maxBytes;
        if (cut) *cut = true;
    }
    out.resize(used);
    return true;
}

bool WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

FileReplacement::FileReplacement(std::string path) : path_(std::move(path)) {
    fd_ = CreateTemporary(path_, temporary_);
    if (fd_ < 0) error_ = errno ? errno : EIO;
}

FileReplacement::~FileReplacement() { Discard(); }

void FileReplacement::Discard() {
    if (fd_ < 0) return;
    ::close(fd_);
    ::unlink(temporary_.c_str());
    fd_ = -1;
}

bool FileReplacement::Write(const void* data, size_t size) {
    if (fd_ < 0 || error_ != 0) return false;
    errno = 0;
    if (WriteAll(fd_, data, size)) return true;
    error_ = errno ? errno : EIO;
    return false;
}

bool FileReplacement::Commit() {
    if (fd_ < 0 || error_ != 0) return false;
    const int fd = fd_;
    fd_ = -1;
    bool ok = ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok) ok = ::rename(temporary_.c_str(), path_.c_str()) == 0;
    if (!ok) {
        error_ = errno ? errno : EIO;
        ::unlink(temporary_.c_str());
        return false;
    }
    // The rename reaches the disk only with the directory; the file is whole either
    // way, so a failure here changes nothing.
    const int dir = ::open(DirectoryOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

bool ReplaceFile(const std::string& path, const void* data, size_t size) {
    FileReplacement file(path);
    return file.Write(data, size) && file.Commit();
}
