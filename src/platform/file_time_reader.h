// Modification times of many files by name, for the up-to-date check.
// Directories read from stay open (a few hundred at most, each in the slot
// its name hashes to), and a file is read by the two last names of its path
// below the directory that holds its parent: a walk of two names instead of
// the whole path, and one open directory for the files of many neighbouring
// directories (a tree's modules, its output directories).
#pragma once

#include <cstdint>

#include "platform/file_times.h"
#include "platform/handles.h"

namespace kestrel::platform {

class FileTimeReader {
public:
    FileTimeReader() = default;
    ~FileTimeReader();
    FileTimeReader(const FileTimeReader&) = delete;
    FileTimeReader& operator=(const FileTimeReader&) = delete;

    // As ReadModificationTime: the last-write time of the absolute `path`
    // (links followed) as a FILETIME count, never below 1.
    FileTimeResult Read(const char* path, int64_t& fileTime, int& error);

private:
    struct Directory {
        FileHandle handle{};     // open on `text`, or none
        bool missing = false;    // `text` names no directory
        char* text = nullptr;    // without a trailing separator; null: unused
        uint32_t length = 0;
        uint32_t capacity = 0;
    };
    static constexpr uint32_t kDirectories = 256;

    // The entry for the directory of `length` bytes at `path`, opened when
    // needed; null when it cannot be recorded (the caller reads the path whole).
    Directory* directoryOf(const char* path, uint32_t length);

    Directory directories_[kDirectories];
    Directory* last_ = nullptr;  // the directory of the previous read
};

}  // namespace kestrel::platform
