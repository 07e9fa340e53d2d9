// File times: the modification time of a file by name, for deciding whether
// a job's outputs are newer than its inputs, and the times of a file just
// written, so that it carries the times its archive gave it.
#pragma once

#include <cstdint>

#include "platform/handles.h"

namespace kestrel::platform {

enum class FileTimeResult : uint8_t {
    Present,  // `fileTime` holds the time, never below 1
    Missing,  // no such file, or a directory on the way is missing
    Failed,   // `error` holds the system's code
};

// The last-write time of `path` (links followed) as a FILETIME count (UTC).
FileTimeResult ReadModificationTime(const char* path, int64_t& fileTime, int& error);

// Seconds and nanoseconds since 1970 (UTC).
struct FileStamp {
    uint64_t seconds = 0;
    uint32_t nanoseconds = 0;
};

// Sets the modification time of the open file and, when `accessed` is not
// null, its access time (which is otherwise left as it is). False with the
// system's code.
bool SetFileTimes(FileHandle file, const FileStamp& modified, const FileStamp* accessed, int& error);

}  // namespace kestrel::platform
