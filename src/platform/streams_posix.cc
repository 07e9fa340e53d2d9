#include "platform/streams.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace kestrel::platform {

namespace {

// The code of the stream call that just failed; errno was cleared before it.
bool Failed(int& error) {
    error = errno != 0 ? errno : EIO;
    return false;
}

}  // namespace

std::FILE* CreatePrivateFile(const char* path, int& error) {
    const int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    std::FILE* stream = fdopen(fd, "w+b");
    if (stream == nullptr) {
        error = errno;
        close(fd);
        unlink(path);
        return nullptr;
    }
    return stream;
}

std::FILE* ReopenPrivateFile(const char* path, int& error) {
    // "e": close-on-exec, so that commands started later do not inherit the log.
    return OpenStream(path, "a+be", error);
}

std::FILE* OpenStream(const char* path, const char* mode, int& error) {
    errno = 0;
    std::FILE* stream = std::fopen(path, mode);
    if (stream == nullptr) Failed(error);
    return stream;
}

bool WriteStream(std::FILE* stream, const void* bytes, size_t count, int& error) {
    errno = 0;
    return std::fwrite(bytes, 1, count, stream) == count || Failed(error);
}

bool ReadStream(std::FILE* stream, void* bytes, size_t room, size_t& count, int& error) {
    errno = 0;
    count = std::fread(bytes, 1, room, stream);
    return count == room || !std::ferror(stream) || Failed(error);
}

bool FlushStream(std::FILE* stream, int& error) {
    errno = 0;
    return std::fflush(stream) == 0 || Failed(error);
}

bool StreamPosition(std::FILE* stream, int64_t& position, int& error) {
    errno = 0;
    const long at = std::ftell(stream);
    if (at < 0) return Failed(error);
    position = at;
    return true;
}

bool SeekStream(std::FILE* stream, int64_t position, int& error) {
    errno = 0;
    return std::fseek(stream, static_cast<long>(position), SEEK_SET) == 0 || Failed(error);
}

bool TruncateStream(std::FILE* stream, int64_t size, int& error) {
    if (!FlushStream(stream, error)) return false;
    errno = 0;
    return ftruncate(fileno(stream), static_cast<off_t>(size)) == 0 || Failed(error);
}

bool CloseStream(std::FILE* stream, int& error) {
    errno = 0;
    return std::fclose(stream) == 0 || Failed(error);
}

}  // namespace kestrel::platform
