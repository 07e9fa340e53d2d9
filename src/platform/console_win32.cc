#include "platform/console.h"

#include <windows.h>

#include <cstring>

namespace kestrel::platform {

namespace {

struct WindowsModes {
    DWORD stream[3];  // by ConsoleStream
    WORD attribute;   // standard output's text attribute
};
static_assert(sizeof(WindowsModes) <= kSavedConsoleBytes);

constexpr DWORD kStandardHandles[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};

HANDLE StreamHandle(int index) { return GetStdHandle(kStandardHandles[index]); }
HANDLE StreamHandle(ConsoleStream stream) { return StreamHandle(static_cast<int>(stream)); }

// A handle of a character device; with no console at all the standard
// handles are null or invalid and this is false.
bool IsCharacterDevice(ConsoleStream stream) {
    const HANDLE handle = StreamHandle(stream);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_CHAR;
}

WindowsModes ModesOf(const SavedConsoleState& state) {
    WindowsModes modes;
    std::memcpy(&modes, state.modes, sizeof modes);
    return modes;
}

}  // namespace

bool DetectConsole(SavedConsoleState& state) {
    // A character device need not be a console (NUL is one): the modes decide.
    if (!IsCharacterDevice(ConsoleStream::kOutput) || !IsCharacterDevice(ConsoleStream::kError) ||
        !IsCharacterDevice(ConsoleStream::kInput))
        return false;
    WindowsModes modes;
    for (int i = 0; i < 3; ++i)
        if (!GetConsoleMode(StreamHandle(i), &modes.stream[i])) return false;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(StreamHandle(ConsoleStream::kOutput), &info)) return false;
    modes.attribute = info.wAttributes;
    std::memset(state.modes, 0, sizeof state.modes);
    std::memcpy(state.modes, &modes, sizeof modes);
    return true;
}

void RestoreConsoleModes(const SavedConsoleState& state) {
    const WindowsModes modes = ModesOf(state);
    for (int i = 0; i < 3; ++i) SetConsoleMode(StreamHandle(i), modes.stream[i]);
    SetConsoleTextAttribute(StreamHandle(ConsoleStream::kOutput), modes.attribute);
}

bool EnterRawMode(ConsoleStream stream, const SavedConsoleState&, int& error) {
    // Input: every key as a record, Ctrl+C included, and size changes of the
    // screen; no echo, no line editing. Output: no processing of control
    // characters, nothing written can scroll the screen.
    const DWORD mode = stream == ConsoleStream::kInput ? ENABLE_WINDOW_INPUT : ENABLE_LVB_GRID_WORLDWIDE;
    if (SetConsoleMode(StreamHandle(stream), mode)) return true;
    error = static_cast<int>(GetLastError());
    return false;
}

}  // namespace kestrel::platform
