#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel::platform {

bool OpenForReading(const char* path, int& fd, FileFacts& facts, int& error) {
    fd = -1;
    // Never blocks: a FIFO opens at once (and reads as an empty file).
    const int opened = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (opened < 0) {
        error = errno;
        return false;
    }
    struct stat status;
    if (fstat(opened, &status) != 0) {
        error = errno;
        close(opened);
        return false;
    }
    facts.directory = S_ISDIR(status.st_mode);
    facts.size = facts.directory ? 0 : static_cast<uint64_t>(status.st_size);
    facts.modifiedSeconds = status.st_mtim.tv_sec < 0 ? 0 : static_cast<uint64_t>(status.st_mtim.tv_sec);
    facts.modifiedNanoseconds = static_cast<uint32_t>(status.st_mtim.tv_nsec);
    facts.accessedSeconds = status.st_atim.tv_sec < 0 ? 0 : static_cast<uint64_t>(status.st_atim.tv_sec);
    facts.accessedNanoseconds = static_cast<uint32_t>(status.st_atim.tv_nsec);
    if (facts.directory || facts.size == 0) {
        close(opened);
    } else {
        fd = opened;
    }
    return true;
}

bool ReadAt(int fd, void* buffer, uint32_t length, uint64_t offset, uint32_t& transferred, int& error) {
    for (;;) {
        const ssize_t count = pread(fd, buffer, length, static_cast<off_t>(offset));
        if (count >= 0) {
            transferred = static_cast<uint32_t>(count);
            return true;
        }
        if (errno != EINTR) {
            error = errno;
            return false;
        }
    }
}

bool WriteAt(int fd, const void* buffer, uint32_t length, uint64_t offset, uint32_t& transferred,
             int& error) {
    for (;;) {
        const ssize_t count = pwrite(fd, buffer, length, static_cast<off_t>(offset));
        if (count >= 0) {
            transferred = static_cast<uint32_t>(count);
            return true;
        }
        if (errno != EINTR) {
            error = errno;
            return false;
        }
    }
}

void CloseFile(int fd) {
    if (fd >= 0) close(fd);
}

bool OpenDirectory(const char* path, int& fd, int& error) {
    fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return false;
    }
    return true;
}

bool OpenChildDirectory(int parent, const char* name, bool create, int& fd, int& error) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    fd = openat(parent, name, kFlags);
    if (fd >= 0) return true;
    if (errno != ENOENT || !create) {
        error = errno;
        return false;
    }
    // Another writer may create it between the two calls; EEXIST is then fine.
    if (mkdirat(parent, name, 0777) != 0 && errno != EEXIST) {
        error = errno;
        return false;
    }
    fd = openat(parent, name, kFlags);
    if (fd < 0) {
        error = errno;
        return false;
    }
    return true;
}

bool CreateChildFile(int parent, const char* name, int& fd, int& error) {
    // Removing first means a link planted at this name is replaced, never written through.
    if (unlinkat(parent, name, 0) != 0 && errno != ENOENT) {
        error = errno;
        return false;
    }
    fd = openat(parent, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno;
        return false;
    }
    return true;
}

}  // namespace kestrel::platform
