// Error codes that the system reports as fixed numbers of its own, whatever
// the operating system underneath. They share the "error {0}" field of
// messages and records with system error codes, which the platform layer
// passes through unchanged; these names keep a reader from taking 8 for an
// errno. Codes whose value depends on the system are in
// platform/system_errors.h.
#pragma once

#include <cstdint>

namespace kestrel {

inline constexpr int32_t kErrorFileNotFound = 2;           // a name has no address, a file is gone
inline constexpr int32_t kErrorNotEnoughMemory = 8;        // every out-of-memory failure
inline constexpr int32_t kErrorInvalidParameter = 87;      // an archive entry kind that cannot be made
inline constexpr int32_t kErrorNoUnicodeTranslation = 1113; // text that is not valid UTF-8
inline constexpr int32_t kErrorDirectoryNotSupported = 336; // a directory where a file was expected
// The archive code's numbers, which are the C runtime library's EINVAL and
// ENOMEM on every system.
inline constexpr int32_t kErrorInvalidValue = 22;          // a corrupt header or record, a call in the wrong state
inline constexpr int32_t kErrorArchiveNoMemory = 12;       // no memory for header data or a path

}  // namespace kestrel
