// The direct client: runs the scheduled jobs on their machines.
#pragma once

#include <mutex>

namespace kestrel {

struct DirectClient {
    // Guards the list of active connections and the abort request.
    std::mutex lock;
    // Set by the user's abort (backspace in the display); the run controller
    // sees it and winds the build down.
    bool abortRequested = false;
};

// The user's abort: marks the request under the client lock.
void RequestAbort(DirectClient& client);
bool IsAbortRequested(DirectClient& client);

}  // namespace kestrel
