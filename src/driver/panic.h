// Panic reports: the crashing side (Panic) and the relaunched side (--panic).
#pragma once

namespace kestrel {

// Where users send panic.bin.
inline constexpr const char* kSupportAddress = "panic-reports@kestrel.build";

// Ends the process with exit code 2 after recording the situation. Callable
// from any thread; only the first call records anything.
[[noreturn]] void Panic(const char* text);

// The "--panic" branch of the command line; returns the exit code (0).
int RunPanicRelaunch();

}  // namespace kestrel
