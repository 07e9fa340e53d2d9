// Anonymous pipes between the threads of this process (the preparation
// answers): neither end is inherited by child processes.
#pragma once

#include <cstdint>

#include "platform/handles.h"

namespace kestrel::platform {

// The write end blocks. The read end is for the event port: blocking until
// the port makes it non-blocking on POSIX, taking only overlapped reads on
// Windows.
bool CreateAnonymousPipe(FileHandle& readEnd, FileHandle& writeEnd, int32_t& error);

// Writes all `length` bytes, waiting while the pipe is full. Records of up to
// 512 bytes reach the reader whole, never mixed with another writer's.
bool WritePipeRecord(FileHandle writeEnd, const void* record, uint32_t length, int32_t& error);

}  // namespace kestrel::platform
