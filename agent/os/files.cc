#include "agent/os/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestrel::agent::os {

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool RemoveDirectoryContents(int directoryFd, RemovalTick tick, void* context, int& error);

bool RemoveEntry(int parentFd, const char* name, RemovalTick tick, void* context, int& error) {
    if (tick != nullptr) tick(context);
    if (unlinkat(parentFd, name, 0) == 0 || errno == ENOENT) return true;
    if (errno != EISDIR && errno != EPERM) {
        error = errno;
        return false;
    }
    int fd = openat(parentFd, name, kDirectoryFlags);
    if (fd < 0 && errno == EACCES) {
        // A command may have left a directory without permissions for its owner.
        fchmodat(parentFd, name, 0700, 0);
        fd = openat(parentFd, name, kDirectoryFlags);
    }
    if (fd < 0) {
        error = errno;
        return false;
    }
    fchmod(fd, 0700);
    const bool emptied = RemoveDirectoryContents(fd, tick, context, error);
    if (!emptied) return false;
    if (unlinkat(parentFd, name, AT_REMOVEDIR) != 0 && errno != ENOENT) {
        error = errno;
        return false;
    }
    return true;
}

// Takes over `directoryFd`.
bool RemoveDirectoryContents(int directoryFd, RemovalTick tick, void* context, int& error) {
    DIR* directory = fdopendir(directoryFd);
    if (directory == nullptr) {
        error = errno;
        close(directoryFd);
        return false;
    }
    bool ok = true;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(directory);
        if (entry == nullptr) {
            if (errno != 0) {
                error = errno;
                ok = false;
            }
            break;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        if (!RemoveEntry(dirfd(directory), entry->d_name, tick, context, error)) {
            ok = false;
            break;
        }
    }
    closedir(directory);
    return ok;
}

bool OpenParent(int rootFd, const std::vector<std::string>& components, int& parent, int& error) {
    std::vector<std::string> directories(components.begin(), components.end() - 1);
    return OpenBeneath(rootFd, directories, kDirectoryFlags, parent, error);
}

}  // namespace

bool OpenWorkDirectory(const std::string& path, int& fd, int& error) {
    // Create each missing level; existing ones (links included) are the operator's choice.
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        const std::string prefix = path.substr(0, at);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            error = errno;
            return false;
        }
    }
    fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return false;
    }
    return true;
}

bool LockWorkDirectory(int directoryFd, int& lockFd, int& error) {
    lockFd = openat(directoryFd, ".kestrel-agent.lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lockFd < 0) {
        error = errno;
        return false;
    }
    if (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        close(lockFd);
        lockFd = -1;
        return false;
    }
    return true;
}

bool ListDirectory(int directoryFd, std::vector<std::string>& names, int& error) {
    const int copy = openat(directoryFd, ".", kDirectoryFlags);
    if (copy < 0) {
        error = errno;
        return false;
    }
    DIR* directory = fdopendir(copy);
    if (directory == nullptr) {
        error = errno;
        close(copy);
        return false;
    }
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(directory);
        if (entry == nullptr) break;
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.emplace_back(entry->d_name);
    }
    const bool ok = errno == 0;
    if (!ok) error = errno;
    closedir(directory);
    return ok;
}

bool RemoveTree(int parentFd, const char* name, RemovalTick tick, void* context, int& error) {
    return RemoveEntry(parentFd, name, tick, context, error);
}

bool MakeDirectory(int parentFd, const char* name, int& error) {
    if (mkdirat(parentFd, name, 0700) == 0) return true;
    error = errno;
    return false;
}

bool OpenBeneath(int rootFd, const std::vector<std::string>& components, int flags, int& fd, int& error) {
    fd = -1;
    int current = openat(rootFd, ".", kDirectoryFlags);
    if (current < 0) {
        error = errno;
        return false;
    }
    for (size_t i = 0; i < components.size(); ++i) {
        const bool last = i + 1 == components.size();
        const int next = openat(current, components[i].c_str(), last ? (flags | O_NOFOLLOW | O_CLOEXEC) : kDirectoryFlags);
        if (next < 0) {
            error = errno;
            // A link in the middle reads as "not a directory": say what it is.
            struct stat status;
            if (error == ENOTDIR && fstatat(current, components[i].c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(status.st_mode))
                error = ELOOP;
            close(current);
            return false;
        }
        close(current);
        current = next;
    }
    fd = current;
    return true;
}

bool StatDescriptor(int fd, struct stat& status, int& error) {
    if (fstat(fd, &status) == 0) return true;
    error = errno;
    return false;
}

bool StatBeneath(int rootFd, const std::vector<std::string>& components, struct stat& status, int& error) {
    if (components.empty()) {
        if (fstat(rootFd, &status) == 0) return true;
        error = errno;
        return false;
    }
    int parent = -1;
    if (!OpenParent(rootFd, components, parent, error)) return false;
    const bool ok = fstatat(parent, components.back().c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
    if (!ok) error = errno;
    close(parent);
    return ok;
}

bool SetTimesBeneath(int rootFd, const std::vector<std::string>& components, uint64_t modifiedSeconds,
                     uint32_t modifiedNanoseconds, uint64_t accessedSeconds, uint32_t accessedNanoseconds,
                     int& error) {
    if (components.empty()) return true;
    int parent = -1;
    if (!OpenParent(rootFd, components, parent, error)) return false;
    timespec times[2];
    times[0].tv_sec = static_cast<time_t>(accessedSeconds);
    times[0].tv_nsec = accessedNanoseconds;
    times[1].tv_sec = static_cast<time_t>(modifiedSeconds);
    times[1].tv_nsec = modifiedNanoseconds;
    // An archive without access times leaves them as they are.
    if (accessedSeconds == 0 && accessedNanoseconds == 0) times[0].tv_nsec = UTIME_OMIT;
    const bool ok = utimensat(parent, components.back().c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
    if (!ok) error = errno;
    close(parent);
    return ok;
}

void CloseDescriptor(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace kestrel::agent::os
