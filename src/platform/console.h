// Terminal detection and the saved modes of the standard streams, which
// display mode changes and shutdown puts back.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel::platform {

// Room for the modes of the three standard streams as the system describes
// them (terminal attributes on POSIX, console modes on Windows).
inline constexpr size_t kSavedConsoleBytes = 256;

// The modes of standard input, output and error, saved when display mode is
// chosen so that shutdown can put the terminal back whatever happened. Only
// the platform layer looks inside.
struct SavedConsoleState {
    alignas(8) unsigned char modes[kSavedConsoleBytes];
};

enum class ConsoleStream : uint8_t { kInput, kOutput, kError };

// True when standard output, error and input are all terminals and their
// modes can be read; the modes are saved into `state`.
bool DetectConsole(SavedConsoleState& state);

// Puts back the saved modes of all three streams (best effort).
void RestoreConsoleModes(const SavedConsoleState& state);

// Turns off echo, line buffering, signal keys and flow control on one
// stream, starting from its saved mode. The system's code of a failure goes
// to `error`.
bool EnterRawMode(ConsoleStream stream, const SavedConsoleState& saved, int& error);

}  // namespace kestrel::platform
