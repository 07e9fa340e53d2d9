// Readiness notification for the event loop (epoll). Descriptors are watched
// edge-triggered in both directions for their whole registration, so that an
// operation going pending costs no extra system call; a readiness report only
// means "try again".
#pragma once

#include <cstdint>

namespace kestrel::platform {

bool CreatePoller(int* poller, int32_t* error);

// Watches `descriptor`, reporting `token`. Descriptors that are always ready
// (regular files) cannot be watched: true with *watched false.
bool WatchDescriptor(int poller, int descriptor, uint64_t token, bool* watched, int32_t* error);
void UnwatchDescriptor(int poller, int descriptor);

// Waits up to `timeoutMilliseconds` (-1: no limit, 0: just look) and stores
// the tokens of at most `capacity` reports. Returns their number (0 when the
// wait ended without any, also on a signal), or -1 with the errno.
int WaitPoller(int poller, uint64_t* tokens, int capacity, int timeoutMilliseconds, int32_t* error);

// A counter another thread can signal to end a wait; watch it like a descriptor.
bool CreateWakeup(int* wakeup, int32_t* error);
void SignalWakeup(int wakeup);
void DrainWakeup(int wakeup);

}  // namespace kestrel::platform
