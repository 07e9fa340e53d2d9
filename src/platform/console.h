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

// True when standard output, error and input are all terminals (consoles)
// and their modes can be read; the modes, and on Windows standard output's
// text attribute, are saved into `state`.
bool DetectConsole(SavedConsoleState& state);

// Puts back the saved modes of all three streams and the saved text
// attribute (best effort).
void RestoreConsoleModes(const SavedConsoleState& state);

// Puts one stream into the display's mode, starting from its saved mode
// where the system builds on it: input as single keys, Ctrl+C among them,
// with no echo or line editing (POSIX: no signal keys or flow control
// either); output that cannot scroll the screen (Windows). The system's code
// of a failure goes to `error`.
bool EnterRawMode(ConsoleStream stream, const SavedConsoleState& saved, int& error);

}  // namespace kestrel::platform
