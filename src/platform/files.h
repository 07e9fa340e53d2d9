// Regular files and directories by handle: positional reads and writes,
// the facts an archive entry needs, and creation beneath a directory that
// never follows a symbolic link. Handles are closed with CloseFile
// (platform/handles.h). Failures give the system's code in `error`.
#pragma once

#include <cstdint>

#include "platform/handles.h"

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
// A directory or empty file is closed again and `file` left none. Opening
// never blocks; a FIFO or device has size 0.
bool OpenForReading(const char* path, FileHandle& file, FileFacts& facts, int& error);

// Creates `path` for writing, or empties the file that has the name already.
bool CreateForWriting(const char* path, FileHandle& file, int& error);

// One positional read or write, repeated when a signal interrupts it.
// `transferred` may be short; a read of 0 means the end of the file.
bool ReadAt(FileHandle file, void* buffer, uint32_t length, uint64_t offset, uint32_t& transferred, int& error);
bool WriteAt(FileHandle file, const void* buffer, uint32_t length, uint64_t offset, uint32_t& transferred,
             int& error);

// Deletes the file `path` names (a link itself, not what it points to).
bool RemoveFile(const char* path, int& error);

// Opens a directory by path (following links: the caller chose it).
bool OpenDirectory(const char* path, FileHandle& directory, int& error);

// Opens the directory `name` inside `parent`, creating it when `create` is set
// and it does not exist. A symbolic link in its place is refused.
bool OpenChildDirectory(FileHandle parent, const char* name, bool create, FileHandle& directory, int& error);

// Replaces whatever non-directory entry `name` inside `parent` holds with a new,
// empty regular file opened for writing. A symbolic link is removed, not followed.
// `permissions` are the archive's read, write and execute bits (owner, group,
// others), of which the user's file-creation mask takes away as it does for
// every new file; systems without such bits ignore them.
inline constexpr uint32_t kDefaultFilePermissions = 0666;
bool CreateChildFile(FileHandle parent, const char* name, FileHandle& file, int& error,
                     uint32_t permissions = kDefaultFilePermissions);

}  // namespace kestrel::platform
