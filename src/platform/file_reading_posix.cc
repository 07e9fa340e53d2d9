#include "platform/file_reading.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/retry_posix.h"

namespace kestrel::platform {

namespace {

int Descriptor(FileHandle file) { return static_cast<int>(file.native); }

}  // namespace

bool OpenSequentialFile(const char* path, FileHandle& file, int& error) {
    // O_NONBLOCK only for the open itself: a FIFO would otherwise wait for a writer.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        error = errno;
        return false;
    }
    FileHandle opened{fd};
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        error = errno;
        CloseFile(opened);
        return false;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    file = opened;
    return true;
}

bool ReadSequentialFile(FileHandle file, void* buffer, size_t size, size_t& count, int& error) {
    return ReadRetrying(Descriptor(file), buffer, size, count, error);
}

bool ReadFileIdentity(FileHandle file, FileIdentity& identity, int& error) {
    struct stat status;
    if (fstat(Descriptor(file), &status) != 0) {
        error = errno;
        return false;
    }
    identity.device = static_cast<uint64_t>(status.st_dev);
    identity.inode = static_cast<uint64_t>(status.st_ino);
    return true;
}

}  // namespace kestrel::platform
