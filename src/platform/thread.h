// Threads that report a failed start with an error code (std::thread would
// throw), for the threads that product code starts itself.
#pragma once

#include <cstdint>

namespace kestrel::platform {

using ThreadRoutine = void (*)(void* argument);

// A started thread until it is joined. The record must stay in place from
// StartThread until JoinThread: the new thread reads its routine there.
struct ThreadHandle {
    uintptr_t native = 0;
    bool running = false;
    ThreadRoutine routine = nullptr;
    void* argument = nullptr;
};

// Starts `routine(argument)`. False with the system's code in `error`.
bool StartThread(ThreadHandle& thread, ThreadRoutine routine, void* argument, int& error);

// Waits for the thread to return; does nothing for a thread not running.
void JoinThread(ThreadHandle& thread);

// Lets a started thread end by itself; the handle is done with.
void DetachThread(ThreadHandle& thread);

}  // namespace kestrel::platform
