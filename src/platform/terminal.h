// The console as the full-screen display uses it: a screen of its own that
// replaces what the user saw and is handed back at the end, whole rows of
// cells drawn on it, the window's title and icon, and the keys typed while it
// is up. On POSIX the display screen is the terminal's alternate screen,
// drawn with xterm escape sequences (the terminal must decode UTF-8); on
// Windows it is a console screen buffer of its own. Raw modes are in
// platform/console.h, the display's thread in platform/thread.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/handles.h"

namespace kestrel::platform {

// One cell of the display: a code point that takes exactly one cell, and a
// console text attribute: bits 0-3 foreground, 4-7 background, each made of
// blue 1, green 2, red 4 and intensity 8 (0x17 is white on blue).
struct ScreenCell {
    char32_t text;
    uint16_t attribute;
    friend constexpr bool operator==(ScreenCell, ScreenCell) = default;
};

// What the console was being asked when setting up or resizing the display
// screen failed; the display tells the user in its own words.
enum class ScreenStep : uint8_t {
    kCursorInfo,  // reading the console's cursor
    kScreenInfo,  // reading the console's size
    kCreate,      // creating the display screen
    kMode,        // its output mode
    kAttributes,  // painting it in the display's attribute
    kCursor,      // hiding its cursor
    kActivate,    // showing it in place of the console's own screen
    kSize,        // giving it a new size
};
using ScreenFailureReport = void (*)(ScreenStep step, int error);

// The display screen while it is open. Only the platform looks inside.
struct DisplayScreen {
    FileHandle buffer;  // Windows: the screen buffer; POSIX: none
};

// The size the display is laid out for on the console of standard output.
bool QueryDisplaySize(uint16_t& width, uint16_t& height, int& error);

// Creates the display screen, painted in `attribute` with no cursor, and shows
// it; `width` and `height` receive the size to lay out for (0 when unknown).
// Failures are reported as they happen; a failure that leaves nothing to draw
// on gives false (the console's own screen is shown then).
bool OpenDisplayScreen(DisplayScreen& screen, uint16_t attribute, uint16_t& width, uint16_t& height,
                       ScreenFailureReport report);

// Gives the display screen a new size, blank in `attribute` and with no
// cursor. Failures are reported; the screen stays usable.
void SizeDisplayScreen(DisplayScreen& screen, int width, int height, uint16_t attribute,
                       ScreenFailureReport report);

// Draws `width` x `height` cells (row by row) on the display screen. `shown`
// is what the screen shows already, of the same size, or null when that is
// unknown: only the cells that differ from it are written.
bool DrawScreenCells(DisplayScreen& screen, const ScreenCell* cells, const ScreenCell* shown, int width, int height,
                     int& error);

// The title of the console's window.
bool SetDisplayTitle(DisplayScreen& screen, const char* title, int& error);

// Shows the console's own screen again, in its own modes of output. Callable
// from any thread; the caller makes sure it runs once.
void ShowMainScreen(const DisplayScreen& screen);

// Releases the display screen after ShowMainScreen.
void CloseDisplayScreen(DisplayScreen& screen);

// True while the console's window is minimised: nothing is drawn then and
// keys are ignored.
bool DisplayIsHidden();

// The program's own icon on the console's window, and the window's icons
// taken away again at shutdown. Where there is no such icon both do nothing.
bool ShowProgramIcon(int& error);
void ClearProgramIcon();

// Lets other threads, and signal callbacks, interrupt the wait for input.
// Where the system has a waitable event, both ends are that one handle.
struct WakeChannel {
    FileHandle waitEnd;
    FileHandle wakeEnd;
    bool IsOpen() const { return waitEnd.valid(); }
};
bool OpenWakeChannel(WakeChannel& channel, int& error);
// Safe to call from any thread; a full channel already means "wake up".
void Wake(const WakeChannel& channel);

enum class TerminalWait { Input, Woken, TimedOut, HungUp, Failed };

// Waits up to `timeoutMs` for input on standard input (only when `watchInput`)
// or for a wake-up, which is consumed. Input takes precedence.
TerminalWait WaitForTerminal(const WakeChannel& channel, bool watchInput, int timeoutMs, int& error);

// What the display reacts to among the input: backspace (the abort), the
// interrupt key (Ctrl+C) and, where the console reports it with the input,
// a new size of the display screen.
enum class ConsoleEventKind : uint8_t { kBackspace, kInterrupt, kResize };
struct ConsoleEvent {
    ConsoleEventKind kind;
    uint16_t width;  // kResize only
    uint16_t height;
};

// Input units (bytes or console records) waiting on standard input.
bool PendingInput(size_t& count, int& error);

// Reads at most `room` input units (call after PendingInput > 0) and turns
// them into at most `room` events; the rest of the input is dropped.
// `ended`: standard input is at its end and will give nothing more.
bool ReadConsoleEvents(ConsoleEvent* events, size_t room, size_t& count, bool& ended, int& error);

}  // namespace kestrel::platform
