#include "platform/case_mapping.h"

namespace kestrel::platform {

// POSIX file names are compared byte for byte: the system has no mapping of its own.
bool SystemLowerCase(const char*, uint32_t, char*, uint32_t, uint32_t&) { return false; }

}  // namespace kestrel::platform
