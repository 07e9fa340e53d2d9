// Threads of the program's own (the connection preparation thread), started
// without exceptions: a failure to start is an error code.
#pragma once

#include <cstdint>

namespace kestrel::platform {

using WorkerRoutine = void (*)(void* argument);

// The record must stay in place while the thread runs.
struct WorkerThread {
    uintptr_t native = 0;
    bool started = false;
    WorkerRoutine routine = nullptr;
    void* argument = nullptr;
};

// Runs `routine(argument)` on a new thread with the default stack and the
// caller's signal mask. False with the system error when it cannot start.
bool StartWorkerThread(WorkerThread& thread, WorkerRoutine routine, void* argument, int32_t& error);

// Waits for a started thread to return.
void JoinWorkerThread(WorkerThread& thread);

// Lets a started thread end by itself; nothing waits for it.
void DetachWorkerThread(WorkerThread& thread);

}  // namespace kestrel::platform
