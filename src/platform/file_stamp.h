// Setting the times of a file that was just written, so that it carries the
// times its archive gave it.
#pragma once

#include <cstdint>

#include "platform/handles.h"

namespace kestrel::platform {

// Seconds and nanoseconds since 1970 (UTC).
struct FileStamp {
    uint64_t seconds = 0;
    uint32_t nanoseconds = 0;
};

// Sets the modification time of the open file and, when `accessed` is not
// null, its access time (which is otherwise left as it is). False with the
// system error code.
bool SetFileTimes(FileHandle file, const FileStamp& modified, const FileStamp* accessed, int& error);

}  // namespace kestrel::platform
