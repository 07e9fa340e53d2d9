// The full-screen progress display of display mode and its input thread.
// In plain mode every operation here does nothing (and AddRow gives null).
#pragma once

#include <cstdint>

#include "display/display_layout.h"
#include "display/display_render.h"
#include "platform/console.h"

namespace kestrel {


// One job in progress, in a list in creation order. Texts are held as display
// cells; times are monotonic ticks (100 ns).
struct DisplayRow {
    DisplayRow* next;
    DisplayRow* previous;
    char32_t* machine;
    uint32_t machineLength;
    char32_t* job;
    uint32_t jobLength;
    char32_t* status;  // null: no status yet
    uint32_t statusLength;
    int64_t creationTime;
    int64_t statusTime;
};

class ConsoleDisplay {
public:
    using InterruptHandler = void (*)();
    using AbortHandler = void (*)();

    // Zeroes the counters in both modes. In display mode puts the console into
    // the display's modes from `savedModes`, shows the program's icon on its
    // window and starts the input thread, which takes over the screen.
    // Backspace calls `onAbort`; Ctrl+C restores the console and calls
    // `onInterrupt`. On failure the message is printed to standard error,
    // the modes are put back and false returned.
    static bool Start(AbortHandler onAbort, const platform::SavedConsoleState* savedModes,
                      InterruptHandler onInterrupt);

    // Appends a row for a job (UTF-8 texts); null in plain mode or when memory
    // ran out, and then nothing is counted.
    static DisplayRow* AddRow(const char* machine, const char* job);
    // Replaces the row's status text (UTF-8; null removes it); `stampTime`
    // restarts the status age.
    static void SetStatus(DisplayRow* row, const char* text, bool stampTime);
    static void RemoveRow(DisplayRow* row);

    // End-of-job results.
    static void CountSucceeded();
    static void CountFailed();
    static DisplayCounters Counters();

    // Copies the first rows and the counters for drawing at monotonic time `now`;
    // `frame` was prepared for `layout`.
    static void CaptureFrame(const DisplayLayout& layout, int64_t now, DisplayFrame& frame);

    // Shutdown: takes the icon off the window, sets the stop request under the
    // display lock, waits for the input thread and makes sure the main screen
    // is back. The caller then restores the modes and prints the queued
    // messages.
    static void Stop();

    // For a process about to end abruptly: back to the main screen and the
    // saved modes. Callable from any thread, any number of times.
    static void RestoreTerminal();
};

}  // namespace kestrel
