// The anonymous pipe between the preparation thread and the event loop.
#pragma once

#include <cstdint>

#include "platform/handles.h"

namespace kestrel::platform {

// A pipe whose ends child processes do not inherit. False with the system
// error when it cannot be made.
bool CreatePipe(FileHandle& readEnd, FileHandle& writeEnd, int32_t& error);
void ClosePipeEnd(FileHandle end);

}  // namespace kestrel::platform
