// The system's own lower-case mapping of file names, where the system has
// one that decides which names are the same file (Windows). Elsewhere the
// caller uses its own table.
#pragma once

#include <cstdint>

namespace kestrel::platform {

// Maps `length` bytes of UTF-8 text to lower case into `out` (`room` bytes)
// and sets `written`. False when the system has no such mapping, the text is
// not UTF-8, or the result does not fit: the caller then maps it itself.
bool SystemLowerCase(const char* text, uint32_t length, char* out, uint32_t room, uint32_t& written);

}  // namespace kestrel::platform
