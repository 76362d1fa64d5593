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

// Replaces path whole with the bytes. They go to a new file beside it, created
// exclusively under a fresh name (so no link planted there is followed), synced and
// renamed over path. On false the old file is still there as it was.
bool ReplaceFile(const std::string& path, const void* data, size_t size);
