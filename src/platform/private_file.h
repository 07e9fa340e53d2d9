// Files that only the current user may read: temporary logs hold command
// lines, addresses and output of the build.
#pragma once

#include <cstdio>

namespace kestrel::platform {

// Creates `path` exclusively (it must not exist) with owner-only permissions
// and returns a read-write binary stream that child processes do not inherit.
// Null with the errno in `error` on failure (EEXIST when the name is taken).
std::FILE* CreatePrivateFile(const char* path, int& error);

}  // namespace kestrel::platform
