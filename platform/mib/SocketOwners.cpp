#include "platform/mib/SocketOwners.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace mib {
namespace {

// A process id or descriptor number: decimal digits only, no sign, no leading zero.
bool ParseNumber(const char* text, uint32_t& value) {
    if (text[0] < '1' || text[0] > '9') return text[0] == '0' && text[1] == '\0' ? (value = 0, true) : false;
    uint64_t v = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || p - text >= 10) return false;
        v = v * 10 + static_cast<uint64_t>(*p - '0');
    }
    if (v > UINT32_MAX) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

// The inode of a descriptor link's target "socket:[INODE]"; false for anything else.
bool SocketInode(const char* target, size_t length, uint32_t& inode) {
    static constexpr char kPrefix[] = "socket:[";
    constexpr size_t kPrefixLength = sizeof kPrefix - 1;
    if (length < kPrefixLength + 2 || length > kPrefixLength + 11 || target[length - 1] != ']') return false;
    if (std::memcmp(target, kPrefix, kPrefixLength) != 0) return false;
    char digits[12];
    const size_t n = length - kPrefixLength - 1;
    std::memcpy(digits, target + kPrefixLength, n);
    digits[n] = '\0';
    return ParseNumber(digits, inode) && inode != 0;
}

// Closes a folder stream on every path out.
struct Folder {
    explicit Folder(int fd) : dir(fd >= 0 ? ::fdopendir(fd) : nullptr) {
        if (dir == nullptr && fd >= 0) ::close(fd);
    }
    ~Folder() { if (dir != nullptr) ::closedir(dir); }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    DIR* dir;
};

// At most capacity bytes of a small /proc file; -1 when it cannot be read.
ssize_t ReadSmallFile(int at, const char* path, char* out, size_t capacity) {
    const int fd = ::openat(at, path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return -1;
    size_t used = 0;
    while (used < capacity) {
        const ssize_t got = ::read(fd, out + used, capacity - used);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        used += static_cast<size_t>(got);
    }
    ::close(fd);
    return static_cast<ssize_t>(used);
}

int OpenProcRoot(const char* root) { return ::open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

}  // namespace

SocketOwners::SocketOwners(const char* procRoot)
    : procFd_(OpenProcRoot(procRoot)), lastFullScanMs_(INT64_MIN / 2) {}

SocketOwners::~SocketOwners() {
    if (procFd_ >= 0) ::close(procFd_);
}

bool SocketOwners::Alive(uint32_t pid) {
    // A lookup asks this for every socket, of a handful of processes.
    AliveMark& mark = aliveMarks_[pid % std::size(aliveMarks_)];
    if (mark.pid == pid && mark.call == calls_) return true;
    auto it = processes_.find(pid);
    if (it == processes_.end() || it->second.aliveCall != calls_) {
        char name[16];
        std::snprintf(name, sizeof name, "%u", pid);
        struct stat st;
        if (::fstatat(procFd_, name, &st, 0) != 0) {
            if (it != processes_.end()) processes_.erase(it);
            return false;
        }
        if (it != processes_.end()) it->second.aliveCall = calls_;
    }
    mark = {pid, calls_};
    return true;
}

void SocketOwners::Find(const uint32_t* inodes, uint32_t* pids, size_t count, int64_t nowMs, unsigned table) {
    ++calls_;
    const uint64_t tableCall = std::exchange(tableCalls_[table % kTables], calls_);
    wanted_.clear();
    for (size_t i = 0; i < count; ++i) {
        pids[i] = 0;
        if (inodes[i] == 0) continue;
        auto it = owners_.find(inodes[i]);
        if (it == owners_.end()) {
            wanted_.insert(inodes[i]);
            continue;
        }
        Owner& o = it->second;
        o.askedCall = static_cast<uint32_t>(calls_);
        if (o.pid != 0 && !Alive(o.pid)) {
            // Its opener has gone; the socket may live on in a child or a receiver.
            owners_.erase(it);
            ++edits_;
            wanted_.insert(inodes[i]);
        } else if (o.pid == 0 && Since(nowMs, o.checkedMs) >= kFullScanMs) {
            wanted_.insert(inodes[i]);
        } else {
            pids[i] = o.pid;
        }
    }
    wanted_.Seal();
    if (procFd_ < 0 || wanted_.empty()) return;

    if (tableCall != 0) SearchFreed(nowMs, tableCall);
    if (!wanted_.empty()) Search(nowMs, Scope::Changed);
    // A descriptor closed and another opened leave the count as it was.
    if (!wanted_.empty()) SearchHolders(nowMs);
    // A socket of a process that held none of them: every process is read, seldom.
    if (!wanted_.empty() && nowMs - lastFullScanMs_ >= kFullScanMs) Search(nowMs, Scope::Every);
    for (size_t i = 0; i < count; ++i) {
        if (inodes[i] == 0 || pids[i] != 0) continue;  // known before the search
        auto [it, added] = owners_.try_emplace(inodes[i], Owner{0, 0, static_cast<uint32_t>(nowMs)});
        if (added) ++edits_;
        Owner& o = it->second;
        // Only one that was looked for is believed ownerless afresh.
        if (!added && o.pid == 0 && Since(nowMs, o.checkedMs) >= kFullScanMs) o.checkedMs = static_cast<uint32_t>(nowMs);
        o.askedCall = static_cast<uint32_t>(calls_);
        pids[i] = o.pid;
    }
    Prune(nowMs);
}

void SocketOwners::Search(int64_t nowMs, Scope scope) {
    const int fd = ::dup(procFd_);
    if (fd < 0) return;
    Folder proc(fd);
    if (proc.dir == nullptr) return;
    ::rewinddir(proc.dir);
    const uint64_t pass = ++work_.passes;
    if (scope == Scope::Every) lastFullScanMs_ = nowMs;
    char path[32];
    bool listed = true;  // every process listed, so those not listed are gone
    while (const dirent* entry = ::readdir(proc.dir)) {
        if (wanted_.empty()) {
            listed = false;
            break;
        }
        uint32_t pid;
        if (!ParseNumber(entry->d_name, pid) || pid == 0) continue;
        std::snprintf(path, sizeof path, "%u/fd", pid);
        struct stat st;
        if (::fstatat(procFd_, path, &st, 0) != 0) continue;  // gone, or not ours to see
        Process& p = processes_[pid];
        p.seenPass = pass;
        p.aliveCall = calls_;
        if (p.readCall == calls_ || (p.hidden && scope != Scope::Every)) continue;
        bool read = scope == Scope::Every || st.st_size != p.fdSize;
        // Kernels that do not count descriptors there report 0.
        if (st.st_size == 0) read = scope == Scope::Every || p.fdSize < 0 || nowMs - p.readMs >= kFullScanMs;
        if (!read) continue;
        p.fdSize = st.st_size;
        ReadProcess(pid, p, nowMs, scope == Scope::Every);
    }
    if (!listed) return;
    for (auto it = processes_.begin(); it != processes_.end();) {
        it = it->second.seenPass == pass ? std::next(it) : processes_.erase(it);
    }
}

// Processes found holding asked sockets and not yet read in this call, the latest to
// gain one first.
std::vector<uint32_t> SocketOwners::Holders() const {
    std::vector<std::pair<int64_t, uint32_t>> found;
    for (const auto& [pid, p] : processes_) {
        if (p.foundMs != INT64_MIN && p.readCall != calls_) found.emplace_back(p.foundMs, pid);
    }
    std::sort(found.begin(), found.end(), std::greater<>());
    std::vector<uint32_t> holders(found.size());
    for (size_t i = 0; i < found.size(); ++i) holders[i] = found[i].second;
    return holders;
}

// Reads the descriptors whose sockets the table asked for at its last lookup and not
// now: closed, their numbers are the first the kernel hands out again.
void SocketOwners::SearchFreed(int64_t nowMs, uint64_t tableCall) {
    const auto asked = static_cast<uint32_t>(tableCall);
    char path[48], target[32];
    for (const uint32_t pid : Holders()) {
        if (wanted_.empty()) return;
        Process& p = processes_[pid];
        if (p.hidden) continue;
        bool closed = false;
        for (auto& [fd, inode] : p.sockets) {
            if (wanted_.empty()) break;
            const auto o = owners_.find(inode);
            if (o == owners_.end() || o->second.pid != pid || o->second.askedCall != asked) continue;
            std::snprintf(path, sizeof path, "%u/fd/%u", pid, fd);
            const ssize_t n = ::readlinkat(procFd_, path, target, sizeof target);
            ++work_.links;
            ++work_.freedLinks;
            uint32_t now;
            if (n > 0 && static_cast<size_t>(n) < sizeof target && SocketInode(target, static_cast<size_t>(n), now)) {
                inode = now;
                Hold(pid, p, now, nowMs);
            } else {
                inode = 0;
                closed = true;
            }
        }
        if (closed)
            p.sockets.erase(
                std::remove_if(p.sockets.begin(), p.sockets.end(), [](const auto& s) { return s.second == 0; }),
                p.sockets.end());
    }
}

void SocketOwners::SearchHolders(int64_t nowMs) {
    char path[32];
    for (const uint32_t pid : Holders()) {
        if (wanted_.empty()) return;
        std::snprintf(path, sizeof path, "%u/fd", pid);
        struct stat st;
        if (::fstatat(procFd_, path, &st, 0) != 0) continue;
        Process& p = processes_[pid];
        p.fdSize = st.st_size;
        ReadProcess(pid, p, nowMs, false);
    }
}

void SocketOwners::ReadProcess(uint32_t pid, Process& process, int64_t nowMs, bool everyLink) {
    process.readMs = nowMs;
    process.readCall = calls_;
    char path[32];
    std::snprintf(path, sizeof path, "%u/fd", pid);
    Folder fds(::openat(procFd_, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fds.dir == nullptr) return;  // another user's, or gone
    ++work_.processReads;
    const int at = ::dirfd(fds.dir);
    std::vector<std::pair<uint32_t, uint32_t>> sockets;
    sockets.reserve(process.sockets.size());
    char target[32];
    while (const dirent* entry = ::readdir(fds.dir)) {
        uint32_t fd;
        if (!ParseNumber(entry->d_name, fd)) continue;
        if (!everyLink) {
            // A descriptor whose socket was asked for in this call and is known as ours
            // still holds it: the socket would be gone had the descriptor been closed.
            const auto known = std::lower_bound(process.sockets.begin(), process.sockets.end(),
                                                std::pair<uint32_t, uint32_t>(fd, 0));
            if (known != process.sockets.end() && known->first == fd) {
                const auto o = owners_.find(known->second);
                if (o != owners_.end() && o->second.pid == pid && o->second.askedCall == static_cast<uint32_t>(calls_)) {
                    sockets.push_back(*known);
                    continue;
                }
            }
        }
        const ssize_t n = ::readlinkat(at, entry->d_name, target, sizeof target);
        ++work_.links;
        // The folder may be listed where its links may not be followed: then none of
        // them can be, and a process of tens of thousands of sockets costs one try.
        process.hidden = n < 0 && (errno == EACCES || errno == EPERM);
        if (process.hidden) break;
        uint32_t inode;
        if (n <= 0 || static_cast<size_t>(n) >= sizeof target || !SocketInode(target, static_cast<size_t>(n), inode))
            continue;
        sockets.emplace_back(fd, inode);
        Hold(pid, process, inode, nowMs);
    }
    std::sort(sockets.begin(), sockets.end());
    process.sockets.swap(sockets);
}

void SocketOwners::Hold(uint32_t pid, Process& process, uint32_t inode, int64_t nowMs) {
    // A socket two processes share (a forked server) keeps the holder found first.
    auto [it, added] = owners_.try_emplace(inode, Owner{pid, 0, static_cast<uint32_t>(nowMs)});
    if (added || it->second.pid == 0) ++edits_;
    if (!added && (it->second.pid == 0 || it->second.pid == pid))
        it->second = Owner{pid, it->second.askedCall, static_cast<uint32_t>(nowMs)};
    if (it->second.pid == pid && wanted_.erase(inode)) process.foundMs = nowMs;
}

// Forgets sockets nobody has asked about for a while: gone, or never of interest
// (a process's descriptors include its Unix sockets).
void SocketOwners::Prune(int64_t nowMs) {
    constexpr int64_t kForgetMs = 30000;
    if (nowMs - lastPruneMs_ < kForgetMs / 3) return;
    lastPruneMs_ = nowMs;
    // Asked for by no call since the oldest of the last three prunes, some 30 s back;
    // never asked for, and found as long ago.
    const auto since = static_cast<uint32_t>(pruneCalls_[0]);
    for (auto it = owners_.begin(); it != owners_.end();) {
        const Owner& o = it->second;
        if (o.askedCall == 0 ? Since(nowMs, o.checkedMs) <= kForgetMs : static_cast<int32_t>(o.askedCall - since) >= 0) {
            ++it;
            continue;
        }
        it = owners_.erase(it);
        ++edits_;
    }
    pruneCalls_[0] = pruneCalls_[1];
    pruneCalls_[1] = pruneCalls_[2];
    pruneCalls_[2] = calls_;
}

void SocketOwners::Wanted::Seal() {
    std::sort(inodes_.begin(), inodes_.end());
    inodes_.erase(std::unique(inodes_.begin(), inodes_.end()), inodes_.end());
    found_.assign(inodes_.size(), 0);
    left_ = inodes_.size();
}

bool SocketOwners::Wanted::erase(uint32_t inode) {
    const auto it = std::lower_bound(inodes_.begin(), inodes_.end(), inode);
    if (it == inodes_.end() || *it != inode) return false;
    uint8_t& found = found_[static_cast<size_t>(it - inodes_.begin())];
    if (found != 0) return false;
    found = 1;
    --left_;
    return true;
}

bool SocketOwners::AllAlive(const uint32_t* pids, size_t count) {
    ++calls_;
    return std::all_of(pids, pids + count, [this](uint32_t pid) { return Alive(pid); });
}

namespace {
std::mutex gOwnersLock;
SocketOwners& TheOwners() {
    static SocketOwners owners;
    return owners;
}
}  // namespace

void FindSocketOwners(const uint32_t* inodes, uint32_t* pids, size_t count, int64_t nowMs, unsigned table) {
    std::lock_guard<std::mutex> hold(gOwnersLock);
    TheOwners().Find(inodes, pids, count, nowMs, table);
}

uint64_t SocketOwnerEdits() {
    std::lock_guard<std::mutex> hold(gOwnersLock);
    return TheOwners().Edits();
}

bool SocketOwnersAlive(const uint32_t* pids, size_t count) {
    std::lock_guard<std::mutex> hold(gOwnersLock);
    return TheOwners().AllAlive(pids, count);
}

size_t ReadProcessName(uint32_t pid, char* out, size_t capacity) {
    char path[32], text[4096];
    std::snprintf(path, sizeof path, "/proc/%u/status", pid);
    const ssize_t n = ReadSmallFile(AT_FDCWD, path, text, sizeof text);
    if (n <= 0) return 0;
    static constexpr char kName[] = "Name:";
    const char* end = text + n;
    for (const char* line = text; line < end;) {
        const char* lineEnd = static_cast<const char*>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
        if (lineEnd == nullptr) lineEnd = end;
        if (static_cast<size_t>(lineEnd - line) >= sizeof kName - 1 && std::memcmp(line, kName, sizeof kName - 1) == 0) {
            const char* value = line + sizeof kName - 1;
            while (value < lineEnd && (*value == '\t' || *value == ' ')) ++value;
            const size_t length = std::min(static_cast<size_t>(lineEnd - value), capacity);
            std::memcpy(out, value, length);
            return length;
        }
        line = lineEnd + 1;
    }
    return 0;
}

size_t ReadProcessPath(uint32_t pid, char* out, size_t capacity) {
    char path[32], text[4096];
    std::snprintf(path, sizeof path, "/proc/%u/exe", pid);
    ssize_t n = ::readlink(path, text, sizeof text);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof text) {
        // Another user's executable cannot be followed; its command line can be read.
        std::snprintf(path, sizeof path, "/proc/%u/cmdline", pid);
        n = ReadSmallFile(AT_FDCWD, path, text, sizeof text);
        if (n <= 0) return 0;
        n = static_cast<ssize_t>(strnlen(text, static_cast<size_t>(n)));
        if (n == static_cast<ssize_t>(sizeof text)) return 0;  // the first word did not fit the read
    }
    // A cut path would name another file: none rather than that.
    if (static_cast<size_t>(n) > capacity) return 0;
    std::memcpy(out, text, static_cast<size_t>(n));
    return static_cast<size_t>(n);
}

}  // namespace mib
