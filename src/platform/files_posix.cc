#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/retry_posix.h"

namespace kestrel::platform {

namespace {

int Descriptor(FileHandle file) { return static_cast<int>(file.native); }

// A descriptor from open/openat, or the errno of its failure.
bool Opened(int fd, FileHandle& file, int& error) {
    if (fd < 0) {
        error = errno;
        return false;
    }
    file = FileHandle{fd};
    return true;
}

// One positional call, repeated while a signal interrupts it.
template <typename Call>
bool Positional(Call call, uint32_t& transferred, int& error) {
    const ssize_t count = RetryInterrupted(call);
    if (count < 0) {
        error = errno;
        return false;
    }
    transferred = static_cast<uint32_t>(count);
    return true;
}

}  // namespace

bool OpenForReading(const char* path, FileHandle& file, FileFacts& facts, int& error) {
    file = kNoFile;
    FileHandle opened;
    // Never blocks: a FIFO opens at once (and reads as an empty file).
    if (!Opened(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK), opened, error)) return false;
    struct stat status;
    if (fstat(Descriptor(opened), &status) != 0) {
        error = errno;
        CloseFile(opened);
        return false;
    }
    facts.directory = S_ISDIR(status.st_mode);
    facts.size = facts.directory ? 0 : static_cast<uint64_t>(status.st_size);
    facts.modifiedSeconds = status.st_mtim.tv_sec < 0 ? 0 : static_cast<uint64_t>(status.st_mtim.tv_sec);
    facts.modifiedNanoseconds = static_cast<uint32_t>(status.st_mtim.tv_nsec);
    facts.accessedSeconds = status.st_atim.tv_sec < 0 ? 0 : static_cast<uint64_t>(status.st_atim.tv_sec);
    facts.accessedNanoseconds = static_cast<uint32_t>(status.st_atim.tv_nsec);
    if (facts.directory || facts.size == 0) {
        CloseFile(opened);
    } else {
        file = opened;
    }
    return true;
}

bool CreateForWriting(const char* path, FileHandle& file, int& error) {
    return Opened(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644), file, error);
}

bool ReadAt(FileHandle file, void* buffer, uint32_t length, uint64_t offset, uint32_t& transferred, int& error) {
    return Positional([&] { return pread(Descriptor(file), buffer, length, static_cast<off_t>(offset)); },
                      transferred, error);
}

bool WriteAt(FileHandle file, const void* buffer, uint32_t length, uint64_t offset, uint32_t& transferred,
             int& error) {
    return Positional([&] { return pwrite(Descriptor(file), buffer, length, static_cast<off_t>(offset)); },
                      transferred, error);
}

bool RemoveFile(const char* path, int& error) {
    if (unlink(path) == 0) return true;
    error = errno;
    return false;
}

bool OpenDirectory(const char* path, FileHandle& directory, int& error) {
    return Opened(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC), directory, error);
}

bool OpenChildDirectory(FileHandle parent, const char* name, bool create, FileHandle& directory, int& error) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    const int fd = openat(Descriptor(parent), name, kFlags);
    if (fd >= 0 || errno != ENOENT || !create) return Opened(fd, directory, error);
    // Another writer may create it between the two calls; EEXIST is then fine.
    if (mkdirat(Descriptor(parent), name, 0777) != 0 && errno != EEXIST) {
        error = errno;
        return false;
    }
    return Opened(openat(Descriptor(parent), name, kFlags), directory, error);
}

bool CreateChildFile(FileHandle parent, const char* name, FileHandle& file, int& error, uint32_t permissions) {
    // Removing first means a link planted at this name is replaced, never written through.
    if (unlinkat(Descriptor(parent), name, 0) != 0 && errno != ENOENT) {
        error = errno;
        return false;
    }
    const mode_t mode = static_cast<mode_t>(permissions & 0777);
    return Opened(openat(Descriptor(parent), name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode), file,
                  error);
}

}  // namespace kestrel::platform
