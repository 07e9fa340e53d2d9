// Sequential reading of whole files and their identity (device and inode), for
// the script reader and the import table.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel::platform {

inline constexpr int kNoSequentialFile = -1;

// Opens an existing file read-only for one front-to-back pass. Opening never
// blocks (a FIFO without a writer reads as empty). False with the errno in
// `error`.
bool OpenSequentialFile(const char* path, int& file, int& error);

// Reads up to `size` bytes; `count` 0 means the end of the file. Interrupted
// reads are retried. False with the errno in `error`.
bool ReadSequentialFile(int file, void* buffer, size_t size, size_t& count, int& error);

// What tells two names of one file apart from two files.
struct FileIdentity {
    uint64_t device;
    uint64_t inode;
};

bool ReadFileIdentity(int file, FileIdentity& identity, int& error);

// Closes an open file; kNoSequentialFile is ignored.
void CloseSequentialFile(int file);

}  // namespace kestrel::platform
