// Non-blocking transfers on descriptors, classified the way the event loop
// needs them, and the few descriptor operations around them.
#pragma once

#include <cerrno>
#include <cstdint>

namespace kestrel::platform {

// The code of an operation that another thread cancelled.
inline constexpr int32_t kCancelledError = ECANCELED;

enum class TransferTarget : uint8_t {
    kPositionalFile,  // pread/pwrite at an explicit offset
    kStream,          // read/write on a pipe or similar
    kSocket,          // recv/send without SIGPIPE
};

enum class TransferStatus : uint8_t {
    kMoved,        // *moved > 0 bytes
    kWouldBlock,   // nothing can move now; readiness will be reported
    kEndOfStream,  // a 0-byte read, EPIPE or ECONNRESET
    kTryLater,     // a transient shortage (ENOMEM, ENOBUFS) on a file or pipe
    kFailed,       // *error holds the errno
};

// One system call (repeated on EINTR) moving at most `length` bytes; `length`
// must be above 0. `offset` is only used for positional files.
TransferStatus Transfer(TransferTarget target, bool write, int descriptor, void* data,
                        uint32_t length, uint64_t offset, uint32_t* moved, int32_t* error);

bool SetNonBlocking(int descriptor, int32_t* error);

// Ends both directions; pending and later receives see the end, sends fail.
void ShutdownSocket(int descriptor);

// Ignores invalid descriptors.
void CloseDescriptor(int descriptor);

}  // namespace kestrel::platform
