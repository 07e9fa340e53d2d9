// Terminal detection and the saved terminal modes of display mode.
#pragma once

#include <termios.h>

namespace kestrel::platform {

// Modes of standard input, output and error, saved when display mode is chosen
// so that shutdown can put the terminal back whatever happened.
struct SavedConsoleState {
    struct termios inputMode;
    struct termios outputMode;
    struct termios errorMode;
};

// True when standard output, error and input are all terminals and their
// modes can be read; the modes are saved into `state`.
bool DetectConsole(SavedConsoleState& state);

// Puts back the saved modes of all three streams (best effort).
void RestoreConsoleModes(const SavedConsoleState& state);

}  // namespace kestrel::platform
