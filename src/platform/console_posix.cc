#include "platform/console.h"

#include <errno.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

namespace kestrel::platform {

namespace {

struct PosixModes {
    struct termios stream[3];  // by ConsoleStream
};
static_assert(sizeof(PosixModes) <= kSavedConsoleBytes);

constexpr int kDescriptors[3] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};

PosixModes ModesOf(const SavedConsoleState& state) {
    PosixModes modes;
    std::memcpy(&modes, state.modes, sizeof modes);
    return modes;
}

}  // namespace

bool DetectConsole(SavedConsoleState& state) {
    if (!isatty(STDOUT_FILENO) || !isatty(STDERR_FILENO) || !isatty(STDIN_FILENO)) return false;
    PosixModes modes;
    for (int i = 0; i < 3; ++i)
        if (tcgetattr(kDescriptors[i], &modes.stream[i]) != 0) return false;
    std::memset(state.modes, 0, sizeof state.modes);
    std::memcpy(state.modes, &modes, sizeof modes);
    return true;
}

void RestoreConsoleModes(const SavedConsoleState& state) {
    const PosixModes modes = ModesOf(state);
    for (int i = 0; i < 3; ++i) tcsetattr(kDescriptors[i], TCSANOW, &modes.stream[i]);
}

bool EnterRawMode(ConsoleStream stream, const SavedConsoleState& saved, int& error) {
    const int index = static_cast<int>(stream);
    struct termios raw = ModesOf(saved).stream[index];
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(kDescriptors[index], TCSANOW, &raw) == 0) return true;
    error = errno;
    return false;
}

}  // namespace kestrel::platform
