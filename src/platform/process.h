// Process-wide facts and set-up: open-file limit, the single-instance marker,
// memory granularity, the program's own path and the working directories.
#pragma once

#include <cstdint>
#include <string>

namespace kestrel::platform {

// Raises the soft open-file limit to the first of 8192, 4096, 2048, 1024, 512
// that is accepted. Returns the accepted value, or 0 when none above 256 is.
uint32_t RaiseOpenFileLimit();

// Announces that a kestrel process runs, as a process-wide named object that
// disappears with the process. Failure is harmless and ignored.
void CreateProcessMarker();

// Unit in which the block pools reserve memory.
inline constexpr uint32_t kAllocationGranularity = 65536;

// The running executable, independent of argv[0] and of the working directory.
std::string ExecutablePath();

// The working directory; on failure returns false with the errno in `error`.
bool CurrentDirectory(std::string& directory, int& error);

// $TMPDIR when set and not empty, otherwise /tmp; without a trailing slash.
std::string TemporaryDirectory();

// Ignores SIGPIPE so that writes to closed sockets and pipes fail with EPIPE.
void IgnoreBrokenPipe();

}  // namespace kestrel::platform
