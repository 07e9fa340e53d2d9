#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/pipe.h"

namespace kestrel::platform {

bool CreatePipe(FileHandle& readEnd, FileHandle& writeEnd, int32_t& error) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        error = errno;
        return false;
    }
    readEnd = FileHandle{ends[0]};
    writeEnd = FileHandle{ends[1]};
    return true;
}

void ClosePipeEnd(FileHandle end) {
    if (end.valid()) ::close(static_cast<int>(end.native));
}

}  // namespace kestrel::platform
