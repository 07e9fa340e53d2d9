#include "platform/console.h"

#include <unistd.h>

namespace kestrel::platform {

bool DetectConsole(SavedConsoleState& state) {
    if (!isatty(STDOUT_FILENO) || !isatty(STDERR_FILENO) || !isatty(STDIN_FILENO)) return false;
    return tcgetattr(STDIN_FILENO, &state.inputMode) == 0 && tcgetattr(STDOUT_FILENO, &state.outputMode) == 0 &&
           tcgetattr(STDERR_FILENO, &state.errorMode) == 0;
}

void RestoreConsoleModes(const SavedConsoleState& state) {
    tcsetattr(STDIN_FILENO, TCSANOW, &state.inputMode);
    tcsetattr(STDOUT_FILENO, TCSANOW, &state.outputMode);
    tcsetattr(STDERR_FILENO, TCSANOW, &state.errorMode);
}

}  // namespace kestrel::platform
