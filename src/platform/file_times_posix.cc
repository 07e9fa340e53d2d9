#include "platform/file_times.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>

#include "platform/clock.h"

namespace kestrel::platform {

namespace {

timespec ToTimespec(const FileStamp& stamp) {
    timespec time{};
    // Times beyond what the system can hold are kept at its limit.
    time.tv_sec = stamp.seconds > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<time_t>(stamp.seconds);
    time.tv_nsec = stamp.nanoseconds > 999'999'999u ? 999'999'999 : static_cast<long>(stamp.nanoseconds);
    return time;
}

}  // namespace

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

bool SetFileTimes(FileHandle file, const FileStamp& modified, const FileStamp* accessed, int& error) {
    timespec times[2];
    if (accessed != nullptr) {
        times[0] = ToTimespec(*accessed);
    } else {
        times[0] = timespec{};
        times[0].tv_nsec = UTIME_OMIT;
    }
    times[1] = ToTimespec(modified);
    if (futimens(static_cast<int>(file.native), times) == 0) return true;
    error = errno;
    return false;
}

}  // namespace kestrel::platform
