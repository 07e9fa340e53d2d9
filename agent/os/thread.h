// Detached threads for connections: each ends on its own, and the machine
// counts them so that shutdown can wait for the last one.
#pragma once

namespace kestrel::agent::os {

// Starts `routine(argument)` on a new detached thread; false with the error code.
bool StartDetachedThread(void (*routine)(void*), void* argument, int& error);

}  // namespace kestrel::agent::os
