// For the POSIX implementations only: a system call repeated while a signal
// interrupts it (-1 with EINTR), which is never a failure of its own.
#pragma once

#include <errno.h>
#include <unistd.h>

#include <cstddef>

namespace kestrel::platform {

template <typename Call>
auto RetryInterrupted(Call call) {
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR) return result;
    }
}

// One read of up to `size` bytes; `count` 0 means the end. False with the errno.
inline bool ReadRetrying(int fd, void* buffer, size_t size, size_t& count, int& error) {
    const ssize_t got = RetryInterrupted([&] { return read(fd, buffer, size); });
    if (got < 0) {
        error = errno;
        return false;
    }
    count = static_cast<size_t>(got);
    return true;
}

}  // namespace kestrel::platform
