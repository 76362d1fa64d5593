#pragma once
// Opening, reading and replacing the small files the program keeps by name, so that
// nothing put under one of those names (a FIFO, a device, a link) can hang the
// caller, flood it, or make it write somewhere else.
#include <sys/types.h>

#include <cstddef>
#include <string>

// Opens path and keeps it only when it is a regular file; -1 otherwise. accessFlags are
// open(2)'s (O_RDONLY, or O_WRONLY | O_APPEND | O_CREAT, ...). The open itself never
// waits (a FIFO without a writer or reader), and the descriptor is close-on-exec.
int OpenRegularFile(const std::string& path, int accessFlags, mode_t mode = 0666);
int OpenRegularFileForReading(const std::string& path);

// At most maxBytes of a regular file into out. cut (when given) tells whether the file
// held more than that. False when it is not a regular file or cannot be read.
bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& out, bool* cut = nullptr);

// write(2) until every byte is written; false on an error or a write of nothing.
bool WriteAll(int fd, const void* data, size_t size);

// A file that is replaced whole or not at all. The bytes go to a new file beside path,
// created exclusively under a fresh name (so no link planted there is followed);
// Commit syncs it and renames it over path. Without a successful Commit the new file
// is removed and path stays as it was.
class FileReplacement {
public:
    explicit FileReplacement(std::string path);
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    bool Write(const void* data, size_t size);
    bool Commit();
    // errno of the first failure; 0 while there was none.
    int Error() const { return error_; }

private:
    void Discard();
    std::string path_;
    std::string temporary_;
    int fd_ = -1;
    int error_ = 0;
};

// Replaces path whole with the bytes, by way of a FileReplacement. On false the old
// file is still there as it was.
bool ReplaceFile(const std::string& path, const void* data, size_t size);
