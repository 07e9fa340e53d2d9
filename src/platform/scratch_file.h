// Scratch files: nameless, readable by the current user only, gone as soon as
// the last handle to them is closed. A child's standard error goes into one,
// so that what it wrote can be shown when it fails.
#pragma once

#include <cstdint>

#include "platform/handles.h"

namespace kestrel::platform {

// A new empty scratch file in the temporary directory, opened for reading
// and writing; child processes inherit it only where they are given it.
bool CreateScratchFile(FileHandle& file, int32_t& error);

// The last bytes of the file, at most `room` of them.
bool ReadFileTail(FileHandle file, char* buffer, uint32_t room, uint32_t& length, int32_t& error);

// Closes the file and leaves kNoFile behind; kNoFile is ignored.
void CloseScratchFile(FileHandle& file);

}  // namespace kestrel::platform
