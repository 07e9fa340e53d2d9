// Regular files and directories by descriptor: positional reads and writes,
// the facts an archive entry needs, and creation beneath a directory that
// never follows a symbolic link.
#pragma once

#include <cstdint>

namespace kestrel::platform {

// What a file's metadata says, as seconds and nanoseconds since 1970 (UTC).
struct FileFacts {
    bool directory;
    uint64_t size;
    uint64_t modifiedSeconds;
    uint32_t modifiedNanoseconds;
    uint64_t accessedSeconds;
    uint32_t accessedNanoseconds;
};

// Opens an existing file or directory for reading and reads its facts.
// A directory or empty file is closed again and `fd` set to -1. Opening
// never blocks; a FIFO or device has size 0.
bool OpenForReading(const char* path, int& fd, FileFacts& facts, int& error);

// One pread/pwrite; retries on EINTR. `transferred` may be short; 0 read means end.
bool ReadAt(int fd, void* buffer, uint32_t length, uint64_t offset, uint32_t& transferred, int& error);
bool WriteAt(int fd, const void* buffer, uint32_t length, uint64_t offset, uint32_t& transferred,
             int& error);

void CloseFile(int fd);

// Opens a directory by path (following links: the caller chose it).
bool OpenDirectory(const char* path, int& fd, int& error);

// Opens the directory `name` inside `parent`, creating it when `create` is set
// and it does not exist. A symbolic link in its place is refused (ELOOP/ENOTDIR).
bool OpenChildDirectory(int parent, const char* name, bool create, int& fd, int& error);

// Replaces whatever non-directory entry `name` inside `parent` holds with a new,
// empty regular file opened for writing. A symbolic link is removed, not followed.
bool CreateChildFile(int parent, const char* name, int& fd, int& error);

}  // namespace kestrel::platform
