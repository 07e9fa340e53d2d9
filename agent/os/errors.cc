#include "agent/os/errors.h"

#include <cerrno>

namespace kestrel::agent::os {

const int kErrorExists = EEXIST;
const int kErrorNotFound = ENOENT;
const int kErrorNotDirectory = ENOTDIR;
const int kErrorSymbolicLink = ELOOP;
const int kErrorNameTooLong = ENAMETOOLONG;
const int kErrorInvalid = EINVAL;
const int kErrorNotPermitted = EPERM;
const int kErrorNoMemory = ENOMEM;
const int kErrorCancelled = ECANCELED;
const int kErrorTimedOut = ETIMEDOUT;
const int kErrorLockHeld = EWOULDBLOCK;

bool IsMemoryShortage(int error) { return error == ENOBUFS || error == ENOMEM; }

int LastError() { return errno; }

}  // namespace kestrel::agent::os
