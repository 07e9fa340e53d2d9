// The display screen of an xterm-compatible terminal as bytes: the alternate
// screen, cursor moves, colours from console text attributes, the window
// title. What the POSIX display screen writes; free of system calls, so that
// the bytes can be checked anywhere.
#pragma once

#include <cstdint>
#include <string>

#include "platform/terminal.h"

namespace kestrel::platform {

// Alternate screen (saving the cursor), cursor hidden, automatic wrap off: so
// that nothing drawn can scroll.
inline constexpr char kEnterDisplayScreen[] = "\x1b[?1049h\x1b[?25l\x1b[?7l";
// Attribute reset, wrap and cursor back, main screen (restoring the cursor).
inline constexpr char kLeaveDisplayScreen[] = "\x1b[0m\x1b[?7h\x1b[?25h\x1b[?1049l";

// Appends what turns a terminal showing `shown` (null: unknown, so every
// cell is written) into `cells`: runs of changed cells with cursor moves
// between them, and the attribute wherever it changes. Appends nothing when
// nothing changed. Rows and columns count from 0.
void AppendScreenUpdate(std::string& out, const ScreenCell* cells, const ScreenCell* shown, int width, int height);

void AppendMoveTo(std::string& out, int row, int column);
void AppendTextAttribute(std::string& out, uint16_t attribute);
void AppendWindowTitle(std::string& out, const char* title);

}  // namespace kestrel::platform
