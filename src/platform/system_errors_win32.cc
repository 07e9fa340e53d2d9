#include "platform/system_errors.h"

#include <windows.h>

namespace kestrel::platform {

// The values the file units return for the same conditions, so that callers
// may compare: CreateFileW with CREATE_NEW fails with ERROR_FILE_EXISTS (not
// ERROR_ALREADY_EXISTS, which only successful opens and CreateDirectoryW
// report), and a missing file is ERROR_FILE_NOT_FOUND.
const int32_t kErrorCancelled = ERROR_OPERATION_ABORTED;
// "Initialization already completed": a loop or thread started twice. ERROR_BUSY
// would read as a resource in use by someone else, which is not the fault.
const int32_t kErrorAlreadyRunning = ERROR_ALREADY_INITIALIZED;
const int32_t kErrorBadHandle = ERROR_INVALID_HANDLE;
const int32_t kErrorInputOutput = ERROR_IO_DEVICE;
const int32_t kErrorIllegalSequence = ERROR_NO_UNICODE_TRANSLATION;
const int32_t kErrorNameTooLong = ERROR_FILENAME_EXCED_RANGE;
const int32_t kErrorBufferTooSmall = ERROR_INSUFFICIENT_BUFFER;
const int32_t kErrorTooLong = ERROR_BAD_LENGTH;
const int32_t kErrorNotFound = ERROR_FILE_NOT_FOUND;
const int32_t kErrorExists = ERROR_FILE_EXISTS;

}  // namespace kestrel::platform
