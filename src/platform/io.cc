#include "platform/io.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace kestrel::platform {

namespace {

ssize_t Call(TransferTarget target, bool write, int descriptor, void* data, uint32_t length,
             uint64_t offset) {
    switch (target) {
    case TransferTarget::kPositionalFile:
        return write ? pwrite(descriptor, data, length, static_cast<off_t>(offset))
                     : pread(descriptor, data, length, static_cast<off_t>(offset));
    case TransferTarget::kStream:
        return write ? ::write(descriptor, data, length) : ::read(descriptor, data, length);
    case TransferTarget::kSocket:
        return write ? send(descriptor, data, length, MSG_NOSIGNAL | MSG_DONTWAIT)
                     : recv(descriptor, data, length, MSG_DONTWAIT);
    }
    return -1;
}

}  // namespace

TransferStatus Transfer(TransferTarget target, bool write, int descriptor, void* data,
                        uint32_t length, uint64_t offset, uint32_t* moved, int32_t* error) {
    *moved = 0;
    ssize_t result;
    do {
        result = Call(target, write, descriptor, data, length, offset);
    } while (result < 0 && errno == EINTR);
    if (result > 0) {
        *moved = static_cast<uint32_t>(result);
        return TransferStatus::kMoved;
    }
    if (result == 0) {
        // A write that moves nothing without an error cannot make progress either.
        if (write) {
            *error = EIO;
            return TransferStatus::kFailed;
        }
        return TransferStatus::kEndOfStream;
    }
    int code = errno;
    if (code == EAGAIN || code == EWOULDBLOCK) return TransferStatus::kWouldBlock;
    if (code == EPIPE || code == ECONNRESET) return TransferStatus::kEndOfStream;
    if (target != TransferTarget::kSocket && (code == ENOMEM || code == ENOBUFS)) {
        return TransferStatus::kTryLater;
    }
    *error = code;
    return TransferStatus::kFailed;
}

bool SetNonBlocking(int descriptor, int32_t* error) {
    int flags = fcntl(descriptor, F_GETFL);
    if (flags < 0 || ((flags & O_NONBLOCK) == 0 && fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) < 0)) {
        *error = errno;
        return false;
    }
    return true;
}

void ShutdownSocket(int descriptor) {
    if (descriptor >= 0) shutdown(descriptor, SHUT_RDWR);
}

void CloseDescriptor(int descriptor) {
    if (descriptor >= 0) close(descriptor);
}

}  // namespace kestrel::platform
