// The termination signals (SIGINT, SIGTERM, SIGHUP) as a readable descriptor,
// so that the accept loop can end the agent in an orderly way.
#pragma once

namespace kestrel::agent::os {

// Blocks the termination signals in the calling thread (and every thread it
// starts later) and returns a descriptor that becomes readable when one
// arrives. Call before any other thread exists.
bool OpenTerminationSignals(int& fd, int& error);

// Consumes what arrived; returns the signal number (0 if none).
int TakeTerminationSignal(int fd);

// Waits up to `timeoutMs` for a termination signal; its number, or 0.
int AwaitTerminationSignal(int fd, int timeoutMs);

}  // namespace kestrel::agent::os
