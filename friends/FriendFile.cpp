#include "friends/FriendFile.h"

#include <unistd.h>

#include <cerrno>

#include "platform/FileUtil.h"

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

}  // namespace

std::vector<std::string> ReadFriendFile(const std::string& path, bool* leftOut) {
    std::vector<std::string> entries;
    if (leftOut) *leftOut = false;
    // A FIFO by that name must not hang the window thread.
    const int fd = OpenRegularFileForReading(path);
    if (fd < 0) return entries;
    LineSplitter lines(entries);
    char buffer[4096];
    // Reading ends as soon as an entry past the bound is complete.
    while (entries.size() <= MAX_FRIENDS) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            lines.Finish();
            break;
        }
        for (ssize_t i = 0; i < n && entries.size() <= MAX_FRIENDS; ++i) lines.Feed(buffer[i]);
    }
    ::close(fd);
    if (entries.size() > MAX_FRIENDS) {
        entries.resize(MAX_FRIENDS);
        if (leftOut) *leftOut = true;
    }
    return entries;
}

bool WriteFriendFile(const std::string& path, const std::vector<std::string>& entries) {
    if (entries.empty()) return ::unlink(path.c_str()) == 0 || errno == ENOENT;

    std::string content;
    for (const std::string& e : entries) content += e + '\n';

    return ReplaceFile(path, content.data(), content.size());
}
