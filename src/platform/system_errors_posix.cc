#include "platform/system_errors.h"

#include <errno.h>
#include <netdb.h>
#include <string.h>

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

namespace {

// strerror_r comes in two forms: the POSIX one fills the buffer and returns
// 0, the GNU one returns the text (which may or may not be the buffer).
[[maybe_unused]] const char* ChosenText(int result, const char* buffer) { return result == 0 ? buffer : nullptr; }
[[maybe_unused]] const char* ChosenText(const char* result, const char*) { return result; }

std::string UnknownError(int32_t code) { return "Unknown error " + std::to_string(code); }

}  // namespace

std::string SystemErrorText(int32_t code) {
    char buffer[256] = {};
    const char* text = ChosenText(strerror_r(code, buffer, sizeof buffer), buffer);
    return text != nullptr && text[0] != '\0' ? std::string(text) : UnknownError(code);
}

std::string ResolverErrorText(int32_t code) {
    const char* text = gai_strerror(code);
    return text != nullptr && text[0] != '\0' ? std::string(text) : UnknownError(code);
}

}  // namespace kestrel::platform
