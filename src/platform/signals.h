// Asynchronous signals handled on a thread of their own, so that handlers may
// take locks and do real work. The signals are blocked in every other thread;
// child processes must be started with an empty signal mask.
#pragma once

namespace kestrel::platform {

using SignalCallback = void (*)();

// Blocks SIGINT and SIGWINCH in the calling thread (and so in every thread
// started later) and starts the thread that waits for them. Call before any
// other thread exists. `onInterrupt` runs for each SIGINT.
bool StartSignalThread(SignalCallback onInterrupt);

// Runs `onResize` for each SIGWINCH from now on (null: ignore them).
void SetResizeCallback(SignalCallback onResize);

}  // namespace kestrel::platform
