// System error codes for conditions the program finds by itself but reports
// the way the system would: a cancelled operation, a name that is too long,
// text that does not convert. Their values are the system's own (errno
// values on POSIX, Win32 error codes on Windows), so they read like the codes
// of failed system calls next to which they appear. Fixed numbers of the
// program's own are in runtime/error_codes.h.
#pragma once

#include <cstdint>
#include <string>

namespace kestrel::platform {

extern const int32_t kErrorCancelled;        // an operation cancelled from another thread
extern const int32_t kErrorAlreadyRunning;   // a loop or thread started a second time
extern const int32_t kErrorBadHandle;        // a handle that is not open (or none was given)
extern const int32_t kErrorInputOutput;      // a transfer that moved less than it must
extern const int32_t kErrorIllegalSequence;  // text that is not valid in its encoding
extern const int32_t kErrorNameTooLong;      // a file name or path beyond its limit
extern const int32_t kErrorBufferTooSmall;   // a result that does not fit its room
extern const int32_t kErrorTooLong;          // an argument above its size limit
extern const int32_t kErrorNotFound;         // a file that does not exist (any more)
extern const int32_t kErrorExists;           // a name that is taken already

// The system's own description of a code of a failed system call (an errno
// value on POSIX, a Win32 or Winsock code on Windows), as UTF-8 text without
// a final full stop or line break; a code the system does not know is
// "Unknown error N".
std::string SystemErrorText(int32_t code);
// The same for a result code of the name resolver, which on POSIX has codes
// of its own (getaddrinfo's EAI_ values) and on Windows reports Winsock codes.
std::string ResolverErrorText(int32_t code);

}  // namespace kestrel::platform
