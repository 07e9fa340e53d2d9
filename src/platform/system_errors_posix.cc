#include "platform/system_errors.h"

#include <errno.h>

namespace kestrel::platform {

const int32_t kErrorCancelled = ECANCELED;
const int32_t kErrorAlreadyRunning = EALREADY;
const int32_t kErrorBadHandle = EBADF;
const int32_t kErrorInputOutput = EIO;
const int32_t kErrorIllegalSequence = EILSEQ;
const int32_t kErrorNameTooLong = ENAMETOOLONG;
const int32_t kErrorBufferTooSmall = ERANGE;
const int32_t kErrorTooLong = E2BIG;
const int32_t kErrorNotFound = ENOENT;
const int32_t kErrorExists = EEXIST;

}  // namespace kestrel::platform
