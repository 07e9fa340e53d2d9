#include "platform/system_errors.h"

#include <windows.h>

#include <string>

#include "platform/wide_text_win32.h"

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

std::string SystemErrorText(int32_t code) {
    wchar_t text[512];
    DWORD units = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(code), 0, text, sizeof text / sizeof text[0], nullptr);
    // The system's texts end in a full stop and a line break.
    while (units > 0 && (text[units - 1] == L'\n' || text[units - 1] == L'\r' || text[units - 1] == L' ' ||
                         text[units - 1] == L'.'))
        --units;
    if (units == 0) return "Unknown error " + std::to_string(code);
    return NarrowText(text, units);
}

// GetAddrInfoExW answers with Winsock codes, which the system describes.
std::string ResolverErrorText(int32_t code) { return SystemErrorText(code); }

}  // namespace kestrel::platform
