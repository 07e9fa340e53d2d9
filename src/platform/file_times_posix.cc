#include "platform/file_times.h"

#include <errno.h>
#include <sys/stat.h>

#include "platform/clock.h"

namespace kestrel::platform {

FileTimeResult ReadModificationTime(const char* path, int64_t& fileTime, int& error) {
    struct stat status;
    if (stat(path, &status) != 0) {
        error = errno;
        return error == ENOENT || error == ENOTDIR ? FileTimeResult::Missing : FileTimeResult::Failed;
    }
    const int64_t time = UnixToFileTime(status.st_mtim.tv_sec, status.st_mtim.tv_nsec);
    // 0 means missing and -1 not yet read: a file from before 1601 still counts as present.
    fileTime = time < 1 ? 1 : time;
    return FileTimeResult::Present;
}

}  // namespace kestrel::platform
