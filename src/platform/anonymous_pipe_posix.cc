#include "platform/anonymous_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace kestrel::platform {

bool CreateAnonymousPipe(FileHandle& readEnd, FileHandle& writeEnd, int32_t& error) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        error = errno;
        return false;
    }
    readEnd.native = ends[0];
    writeEnd.native = ends[1];
    return true;
}

bool WritePipeRecord(FileHandle writeEnd, const void* record, uint32_t length, int32_t& error) {
    static_assert(PIPE_BUF >= 512);
    const char* bytes = static_cast<const char*>(record);
    uint32_t written = 0;
    while (written < length) {
        const ssize_t count = write(static_cast<int>(writeEnd.native), bytes + written, length - written);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            error = errno;
            return false;
        }
        written += static_cast<uint32_t>(count);
    }
    return true;
}

}  // namespace kestrel::platform
