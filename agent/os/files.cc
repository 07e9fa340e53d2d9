#include "agent/os/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kestrel::agent::os {

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// One directory on the way down: how it is named in its parent, who it is
// (to recognise the parent again on the way up) and its subdirectories
// that are still to be emptied.
struct Level {
    std::string name;
    dev_t device;
    ino_t inode;
    std::vector<std::string> pending;
};

// Opens the directory `name` inside `parentFd` for removal: readable and
// writable by us whatever mode a command left on it.
int OpenForRemoval(int parentFd, const char* name, int& error) {
    int fd = openat(parentFd, name, kDirectoryFlags);
    if (fd < 0 && errno == EACCES) {
        fchmodat(parentFd, name, 0700, 0);
        fd = openat(parentFd, name, kDirectoryFlags);
    }
    if (fd < 0) {
        error = errno;
        return -1;
    }
    fchmod(fd, 0700);
    return fd;
}

// Removes an empty directory or anything that is not a directory. False
// with error 0 when `name` is a directory with contents.
bool RemoveLeaf(int parentFd, const char* name, bool maybeDirectory, int& error) {
    error = 0;
    if (!maybeDirectory) {
        if (unlinkat(parentFd, name, 0) == 0 || errno == ENOENT) return true;
        if (errno != EISDIR && errno != EPERM) {
            error = errno;
            return false;
        }
    }
    if (unlinkat(parentFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT) return true;
    if (errno == ENOTEMPTY || errno == EEXIST) return false;
    if (errno == ENOTDIR) {
        if (unlinkat(parentFd, name, 0) == 0 || errno == ENOENT) return true;
    }
    error = errno;
    return false;
}

// Removes what a directory holds except its subdirectories with contents,
// whose names it returns. Uses one more descriptor while it reads.
bool ClearLevel(int directoryFd, std::vector<std::string>& pending, RemovalTick tick, void* context, int& error) {
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
    std::vector<std::pair<std::string, bool>> entries;  // name, may be a directory
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(directory);
        if (entry == nullptr) break;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        entries.emplace_back(entry->d_name, entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN);
    }
    error = errno;
    closedir(directory);
    if (error != 0) return false;
    for (const auto& [name, maybeDirectory] : entries) {
        if (tick != nullptr) tick(context);
        if (RemoveLeaf(directoryFd, name.c_str(), maybeDirectory, error)) continue;
        if (error != 0) return false;
        pending.push_back(name);
    }
    return true;
}

bool SameDirectory(int fd, const Level& level) {
    struct stat status;
    return fstat(fd, &status) == 0 && status.st_dev == level.device && status.st_ino == level.inode;
}

// Depth first with one open directory at a time: down by name, up by "..",
// which must lead back to the directory we came from. The names still to
// visit are kept in memory, so no directory is read twice. With `keepTop`
// the directory `name` itself stays, empty.
bool RemoveDirectoryTree(int parentFd, const char* name, bool keepTop, RemovalTick tick, void* context,
                         int& error) {
    int current = OpenForRemoval(parentFd, name, error);
    if (current < 0) return false;
    std::vector<Level> levels;
    std::string entered = name;
    bool ok = true;
    while (ok) {
        struct stat status;
        if (fstat(current, &status) != 0) {
            error = errno;
            ok = false;
            break;
        }
        levels.push_back(Level{std::move(entered), status.st_dev, status.st_ino, {}});
        if (!ClearLevel(current, levels.back().pending, tick, context, error)) {
            ok = false;
            break;
        }
        // Climb while the level is done, removing each emptied directory.
        while (ok && levels.back().pending.empty() && levels.size() > 1) {
            const int up = openat(current, "..", kDirectoryFlags);
            if (up < 0 || !SameDirectory(up, levels[levels.size() - 2])) {
                error = up < 0 ? errno : EXDEV;  // moved while we worked: stop here
                if (up >= 0) close(up);
                ok = false;
                break;
            }
            close(current);
            current = up;
            const std::string emptied = std::move(levels.back().name);
            levels.pop_back();
            if (!RemoveLeaf(current, emptied.c_str(), true, error)) {
                if (error == 0) error = ENOTEMPTY;
                ok = false;
            }
        }
        if (!ok || levels.back().pending.empty()) break;
        entered = std::move(levels.back().pending.back());
        levels.back().pending.pop_back();
        const int down = OpenForRemoval(current, entered.c_str(), error);
        if (down < 0) {
            ok = false;
            break;
        }
        close(current);
        current = down;
    }
    close(current);
    if (!ok) return false;
    if (keepTop) return true;
    if (RemoveLeaf(parentFd, name, true, error)) return true;
    if (error == 0) error = ENOTEMPTY;
    return false;
}

// The last component is opened with `flags` and O_NOFOLLOW.
bool OpenBeneath(int rootFd, const std::vector<std::string>& components, int flags, int& fd, int& error);

void TakeStatus(const struct stat& system, EntryStatus& status) {
    status.kind = S_ISREG(system.st_mode)   ? EntryKind::RegularFile
                  : S_ISDIR(system.st_mode) ? EntryKind::Directory
                                            : EntryKind::Other;
    status.size = static_cast<uint64_t>(system.st_size);
    status.modifiedSeconds = system.st_mtim.tv_sec < 0 ? 0 : static_cast<uint64_t>(system.st_mtim.tv_sec);
    status.modifiedNanoseconds = static_cast<uint32_t>(system.st_mtim.tv_nsec);
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
    if (tick != nullptr) tick(context);
    if (RemoveLeaf(parentFd, name, false, error)) return true;
    if (error != 0) return false;
    return RemoveDirectoryTree(parentFd, name, false, tick, context, error);
}

bool EmptyTree(int parentFd, const char* name, RemovalTick tick, void* context, int& error) {
    if (tick != nullptr) tick(context);
    return RemoveDirectoryTree(parentFd, name, true, tick, context, error);
}

bool RenameEntry(int directoryFd, const char* from, const char* to, int& error) {
    if (renameat2(directoryFd, from, directoryFd, to, RENAME_NOREPLACE) == 0) return true;
    error = errno;
    return false;
}

bool MakeDirectory(int parentFd, const char* name, int& error) {
    if (mkdirat(parentFd, name, 0700) == 0) return true;
    error = errno;
    return false;
}

namespace {

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

}  // namespace

bool OpenDirectoryBeneath(int rootFd, const std::vector<std::string>& components, int& fd, int& error) {
    return OpenBeneath(rootFd, components, O_RDONLY | O_DIRECTORY, fd, error);
}

bool OpenForReadingBeneath(int rootFd, const std::vector<std::string>& components, int& fd, int& error) {
    return OpenBeneath(rootFd, components, O_RDONLY | O_NONBLOCK, fd, error);
}

bool StatDescriptor(int fd, EntryStatus& status, int& error) {
    struct stat system;
    if (fstat(fd, &system) != 0) {
        error = errno;
        return false;
    }
    TakeStatus(system, status);
    return true;
}

bool StatBeneath(int rootFd, const std::vector<std::string>& components, EntryStatus& status, int& error) {
    struct stat system;
    if (components.empty()) {
        if (fstat(rootFd, &system) != 0) {
            error = errno;
            return false;
        }
        TakeStatus(system, status);
        return true;
    }
    int parent = -1;
    if (!OpenParent(rootFd, components, parent, error)) return false;
    const bool ok = fstatat(parent, components.back().c_str(), &system, AT_SYMLINK_NOFOLLOW) == 0;
    if (ok) {
        TakeStatus(system, status);
    } else {
        error = errno;
    }
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

uint64_t DescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
    return limit.rlim_cur;
}

uint32_t OpenDescriptorCount() {
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) return 0;
    uint32_t count = 0;
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(directory);
    return count > 0 ? count - 1 : 0;  // the listing's own
}

void CloseDescriptor(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace kestrel::agent::os
