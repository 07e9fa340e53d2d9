#include "platform/thread.h"

#include <pthread.h>

#include <cstring>

namespace kestrel::platform {

namespace {

static_assert(sizeof(pthread_t) <= sizeof(uintptr_t));

void* Trampoline(void* record) {
    const ThreadHandle& thread = *static_cast<const ThreadHandle*>(record);
    thread.routine(thread.argument);
    return nullptr;
}

}  // namespace

bool StartThread(ThreadHandle& thread, ThreadRoutine routine, void* argument, int& error) {
    thread.routine = routine;
    thread.argument = argument;
    pthread_t handle;
    const int result = pthread_create(&handle, nullptr, Trampoline, &thread);
    if (result != 0) {
        error = result;
        return false;
    }
    thread.native = 0;
    std::memcpy(&thread.native, &handle, sizeof handle);
    thread.running = true;
    return true;
}

void JoinThread(ThreadHandle& thread) {
    if (!thread.running) return;
    pthread_t handle;
    std::memcpy(&handle, &thread.native, sizeof handle);
    pthread_join(handle, nullptr);
    thread.running = false;
}

void DetachThread(ThreadHandle& thread) {
    if (!thread.running) return;
    pthread_t handle;
    std::memcpy(&handle, &thread.native, sizeof handle);
    pthread_detach(handle);
    thread.running = false;
}

}  // namespace kestrel::platform
