#include "platform/private_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kestrel::platform {

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

}  // namespace kestrel::platform
