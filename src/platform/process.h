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

// The working directory; on failure returns false with the system's code in `error`.
bool CurrentDirectory(std::string& directory, int& error);

// The user's temporary directory, without a trailing separator ($TMPDIR
// when set and not empty, otherwise /tmp, on POSIX). False with the
// system's code when the system cannot give it.
bool TemporaryDirectory(std::string& directory, int& error);

// Keeps the system from stopping the program with a dialog box for a
// critical error, a crash or a missing file, which nobody may be there to
// close (nothing to do on POSIX).
void PrepareErrorMode();

// Makes writes to closed sockets and pipes fail instead of ending the
// process (SIGPIPE ignored on POSIX; nothing to do on Windows).
void IgnoreBrokenPipe();

// The value of the environment variable `name` (UTF-8), or null when it is
// not set. Valid until the environment changes; copy it at once.
const char* EnvironmentVariable(const char* name);

// Blocks the calling thread for about `milliseconds`.
void SleepMilliseconds(uint32_t milliseconds);

// Ends the process at once with `code`: no exit handlers, no destructors,
// no flushing of streams.
[[noreturn]] void ExitImmediately(int code);

}  // namespace kestrel::platform
