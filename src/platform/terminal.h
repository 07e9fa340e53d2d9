// The terminal as the full-screen display uses it: the size, the alternate
// screen, escape output, waiting for keys and reading them. Output assumes an
// xterm-compatible terminal that decodes UTF-8 (the escape sequences are
// built in terminal.cc, the same for every system). Raw modes are in
// platform/console.h, the display's thread in platform/thread.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/handles.h"

namespace kestrel::platform {

// Columns and rows of the terminal on standard output.
bool QueryTerminalSize(uint16_t& width, uint16_t& height, int& error);

// Writes every byte to standard output, retrying interrupted and short writes.
bool WriteToTerminal(const char* bytes, size_t length, int& error);

// Switches to the alternate screen with the cursor hidden and line wrap off,
// so that nothing drawn can scroll; LeaveDisplayScreen undoes all of it and
// resets the text attribute.
bool EnterDisplayScreen(int& error);
bool LeaveDisplayScreen(int& error);

// Escape output appended to a frame. Rows and columns count from 0.
void AppendMoveTo(std::string& out, int row, int column);
// A console text attribute: bits 0-3 foreground, 4-7 background, each made of
// blue 1, green 2, red 4 and intensity 8 (0x17 is white on blue).
void AppendTextAttribute(std::string& out, uint16_t attribute);
void AppendWindowTitle(std::string& out, const char* title);

// Lets other threads, and signal callbacks, interrupt the wait for input.
// Where the system has a waitable event, both ends are that one handle.
struct WakeChannel {
    FileHandle waitEnd;
    FileHandle wakeEnd;
    bool IsOpen() const { return waitEnd.valid(); }
};
bool OpenWakeChannel(WakeChannel& channel, int& error);
void CloseWakeChannel(WakeChannel& channel);
// Safe to call from any thread; a full channel already means "wake up".
void Wake(const WakeChannel& channel);

enum class TerminalWait { Input, Woken, TimedOut, HungUp, Failed };

// Waits up to `timeoutMs` for input on standard input (only when `watchInput`)
// or for a wake-up, which is consumed. Input takes precedence.
TerminalWait WaitForTerminal(const WakeChannel& channel, bool watchInput, int timeoutMs, int& error);

// Bytes waiting on standard input.
bool PendingInput(size_t& count, int& error);
// Reads what is waiting, at most `room` bytes; call after PendingInput > 0.
bool ReadInput(unsigned char* buffer, size_t room, size_t& count, int& error);

}  // namespace kestrel::platform
