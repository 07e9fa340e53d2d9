#include "platform/scratch_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/process.h"

namespace kestrel::platform {

namespace {

int Native(FileHandle file) { return static_cast<int>(file.native); }

// Where unnamed files are not supported: a unique name, removed at once.
int CreateAndUnlink(const std::string& directory) {
    std::string pattern = directory + "/KVSCRATCH.XXXXXX";
    const int descriptor = mkostemp(pattern.data(), O_CLOEXEC);
    if (descriptor >= 0) unlink(pattern.c_str());
    return descriptor;
}

}  // namespace

bool CreateScratchFile(FileHandle& file, int32_t& error) {
    std::string directory;
    int ignored = 0;
    TemporaryDirectory(directory, ignored);
    int descriptor = open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (descriptor < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL))
        descriptor = CreateAndUnlink(directory);
    if (descriptor < 0) {
        error = errno;
        return false;
    }
    file.native = descriptor;
    return true;
}

bool ReadFileTail(FileHandle file, char* buffer, uint32_t room, uint32_t& length, int32_t& error) {
    struct stat facts {};
    if (fstat(Native(file), &facts) != 0) {
        error = errno;
        return false;
    }
    const off_t size = facts.st_size;
    off_t offset = size > static_cast<off_t>(room) ? size - static_cast<off_t>(room) : 0;
    length = 0;
    while (offset < size && length < room) {
        const ssize_t got = pread(Native(file), buffer + length, room - length, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = errno;
            return false;
        }
        if (got == 0) break;
        length += static_cast<uint32_t>(got);
        offset += got;
    }
    return true;
}

void CloseScratchFile(FileHandle& file) {
    if (!file.valid()) return;
    close(Native(file));
    file = kNoFile;
}

}  // namespace kestrel::platform
