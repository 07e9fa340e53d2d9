// The modification time of a file by name, for deciding whether a job's
// outputs are newer than its inputs.
#pragma once

#include <cstdint>

namespace kestrel::platform {

enum class FileTimeResult : uint8_t {
    Present,  // `fileTime` holds the time, never below 1
    Missing,  // no such file, or a directory on the way is missing
    Failed,   // `error` holds the system's code
};

// The last-write time of `path` (links followed) as a FILETIME count (UTC).
FileTimeResult ReadModificationTime(const char* path, int64_t& fileTime, int& error);

}  // namespace kestrel::platform
