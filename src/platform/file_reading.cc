#include "platform/file_reading.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kestrel::platform {

bool OpenSequentialFile(const char* path, int& file, int& error) {
    // O_NONBLOCK only for the open itself: a FIFO would otherwise wait for a writer.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        error = errno;
        return false;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        error = errno;
        close(fd);
        return false;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    file = fd;
    return true;
}

bool ReadSequentialFile(int file, void* buffer, size_t size, size_t& count, int& error) {
    for (;;) {
        const ssize_t got = read(file, buffer, size);
        if (got >= 0) {
            count = static_cast<size_t>(got);
            return true;
        }
        if (errno != EINTR) {
            error = errno;
            return false;
        }
    }
}

bool ReadFileIdentity(int file, FileIdentity& identity, int& error) {
    struct stat status;
    if (fstat(file, &status) != 0) {
        error = errno;
        return false;
    }
    identity.device = static_cast<uint64_t>(status.st_dev);
    identity.inode = static_cast<uint64_t>(status.st_ino);
    return true;
}

void CloseSequentialFile(int file) {
    if (file != kNoSequentialFile) close(file);
}

}  // namespace kestrel::platform
