// Sequential reading of whole files and their identity, for the script
// reader and the import table. Files are closed with CloseFile
// (platform/handles.h); failures give the system's code in `error`.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/handles.h"

namespace kestrel::platform {

// Opens an existing file read-only for one front-to-back pass. Opening never
// blocks (a FIFO without a writer reads as empty).
bool OpenSequentialFile(const char* path, FileHandle& file, int& error);

// Reads up to `size` bytes; `count` 0 means the end of the file. Interrupted
// reads are retried.
bool ReadSequentialFile(FileHandle file, void* buffer, size_t size, size_t& count, int& error);

// What tells two names of one file apart from two files (device and inode
// on POSIX, volume serial number and file index on Windows).
struct FileIdentity {
    uint64_t device;
    uint64_t inode;
};

bool ReadFileIdentity(FileHandle file, FileIdentity& identity, int& error);

}  // namespace kestrel::platform
