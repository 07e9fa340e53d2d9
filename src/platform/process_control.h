// What the preparation thread and the driver ask of the running process
// itself: an environment variable, a pause, and the immediate end.
#pragma once

#include <cstdint>

namespace kestrel::platform {

// The value of the environment variable `name` (UTF-8), or null when it is
// not set. Valid until the environment changes; copy it at once.
const char* EnvironmentVariable(const char* name);

// Suspends the calling thread for at least `milliseconds`.
void SleepMilliseconds(uint32_t milliseconds);

// Ends the process with `exitCode` at once: no destructor, handler or
// buffer flush runs.
[[noreturn]] void ExitProcessNow(int32_t exitCode);

}  // namespace kestrel::platform
