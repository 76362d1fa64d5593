#pragma once
// What the fuzz targets share: a failed expectation that counts as a crash, and a
// file kept in memory that readers open by its path like any other regular file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// The fuzzer keeps an input that aborts, so a broken promise is reported like a crash.
#define FUZZ_CHECK(condition)                                                                   \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

// A memfd under /proc/self/fd: no disk traffic per input, and fstat calls it regular.
class MemoryFile {
public:
    MemoryFile() : fd_(::memfd_create("fuzz-input", MFD_CLOEXEC)) {
        FUZZ_CHECK(fd_ >= 0);
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { ::close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    // Replaces the whole content.
    void Set(const uint8_t* data, size_t size) {
        FUZZ_CHECK(::ftruncate(fd_, 0) == 0);
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            FUZZ_CHECK(n > 0);
            done += static_cast<size_t>(n);
        }
    }
    const std::string& Path() const { return path_; }

private:
    int fd_;
    std::string path_;
};
