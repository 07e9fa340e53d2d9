// The interrupt key (Ctrl+C) and terminal resizes, handled on a thread of
// their own so that handlers may take locks and do real work. On POSIX these
// are SIGINT and SIGWINCH, blocked in every other thread (child processes
// must be started with an empty signal mask); on Windows the console's
// control handler (Ctrl+C and Ctrl+Break), which the system runs on a thread
// it starts, while size changes come with the console input
// (platform/terminal.h).
#pragma once

namespace kestrel::platform {

using SignalCallback = void (*)();

// Starts the thread that waits for them; on POSIX the signals are blocked in
// the calling thread first (and so in every thread started later). Call
// before any other thread exists. `onInterrupt` runs for each interrupt.
bool StartSignalThread(SignalCallback onInterrupt);

// Runs `onResize` for each resize from now on (null: ignore them). Where
// sizes come with the console input, it is never called.
void SetResizeCallback(SignalCallback onResize);

}  // namespace kestrel::platform
