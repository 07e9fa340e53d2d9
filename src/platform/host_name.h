// The name by which other machines know this computer.
#pragma once

#include <cstdint>

namespace kestrel::platform {

// The computer's fully qualified DNS name, NUL-terminated in `out`, which
// holds `room` bytes; `length` gets its byte count without the NUL. False
// when the system cannot give the name or it does not fit. The bytes are the
// system's: callers that need UTF-8 check them.
bool FullyQualifiedHostName(char* out, uint32_t room, uint32_t& length);

}  // namespace kestrel::platform
