#include "platform/file_time_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/clock.h"

namespace kestrel::platform {

namespace {

#ifdef O_PATH
constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

FileTimeResult FromStatus(int result, const struct stat& status, int64_t& fileTime, int& error) {
    if (result != 0) {
        error = errno;
        return error == ENOENT || error == ENOTDIR ? FileTimeResult::Missing : FileTimeResult::Failed;
    }
    const int64_t time = UnixToFileTime(status.st_mtim.tv_sec, status.st_mtim.tv_nsec);
    // 0 means missing and -1 not yet read: a file from before 1601 still counts as present.
    fileTime = time < 1 ? 1 : time;
    return FileTimeResult::Present;
}

// FNV-1a over the directory's name: the slot it is kept in.
uint32_t SlotOf(const char* text, uint32_t length, uint32_t slots) {
    uint32_t hash = 2166136261u;
    for (uint32_t i = 0; i < length; ++i) hash = (hash ^ static_cast<unsigned char>(text[i])) * 16777619u;
    return (hash ^ (hash >> 16)) & (slots - 1);
}

}  // namespace

FileTimeReader::~FileTimeReader() {
    for (Directory& directory : directories_) {
        if (directory.handle.valid()) close(static_cast<int>(directory.handle.native));
        std::free(directory.text);
    }
}

FileTimeReader::Directory* FileTimeReader::directoryOf(const char* path, uint32_t length) {
    // Files of one directory tend to come one after another.
    if (last_ != nullptr && last_->length == length && std::memcmp(last_->text, path, length) == 0) return last_;
    Directory& entry = directories_[SlotOf(path, length, kDirectories)];
    last_ = &entry;
    if (entry.text != nullptr && entry.length == length && std::memcmp(entry.text, path, length) == 0) return &entry;
    if (entry.handle.valid()) close(static_cast<int>(entry.handle.native));
    entry.handle = kNoFile;
    entry.missing = false;
    if (length + 1 > entry.capacity) {
        char* grown = static_cast<char*>(std::realloc(entry.text, length + 1));
        if (grown == nullptr) {
            std::free(entry.text);
            entry = Directory{};
            return nullptr;
        }
        entry.text = grown;
        entry.capacity = length + 1;
    }
    std::memcpy(entry.text, path, length);
    entry.text[length] = '\0';
    entry.length = length;
    const int opened = open(entry.text, kDirectoryFlags);
    if (opened >= 0) {
        entry.handle = FileHandle{opened};
    } else if (errno == ENOENT || errno == ENOTDIR) {
        entry.missing = true;
    } else {
        // Whatever else went wrong, the whole path gives the answer and the error of its own.
        entry.length = 0;
        return nullptr;
    }
    return &entry;
}

// The file is read below the directory two levels up, its parent and its own
// name the two names looked up: a tree of many small directories (one per
// module) then needs few directories kept open, each shared by its
// subdirectories.
FileTimeResult FileTimeReader::Read(const char* path, int64_t& fileTime, int& error) {
    struct stat status;
    const char* slash = std::strrchr(path, '/');
    if (slash != nullptr && slash != path) {
        const char* upper = slash - 1;
        while (upper > path && *upper != '/') --upper;
        if (upper > path) slash = upper;
    }
    // A file directly below the root, or a name without a directory: nothing to keep.
    const Directory* directory =
        slash != nullptr && slash != path ? directoryOf(path, static_cast<uint32_t>(slash - path)) : nullptr;
    if (directory == nullptr) return FromStatus(stat(path, &status), status, fileTime, error);
    if (directory->missing) {
        error = ENOENT;
        return FileTimeResult::Missing;
    }
    const int result = fstatat(static_cast<int>(directory->handle.native), slash + 1, &status, 0);
    return FromStatus(result, status, fileTime, error);
}

}  // namespace kestrel::platform
