#include "platform/worker_thread.h"

#include <pthread.h>

namespace kestrel::platform {

namespace {

static_assert(sizeof(pthread_t) <= sizeof(uintptr_t));

void* Trampoline(void* record) {
    auto* thread = static_cast<WorkerThread*>(record);
    thread->routine(thread->argument);
    return nullptr;
}

pthread_t Native(const WorkerThread& thread) { return static_cast<pthread_t>(thread.native); }

}  // namespace

bool StartWorkerThread(WorkerThread& thread, WorkerRoutine routine, void* argument, int32_t& error) {
    thread.routine = routine;
    thread.argument = argument;
    pthread_t handle{};
    const int result = pthread_create(&handle, nullptr, Trampoline, &thread);
    if (result != 0) {
        error = result;
        return false;
    }
    thread.native = static_cast<uintptr_t>(handle);
    thread.started = true;
    return true;
}

void JoinWorkerThread(WorkerThread& thread) {
    if (!thread.started) return;
    pthread_join(Native(thread), nullptr);
    thread.started = false;
}

void DetachWorkerThread(WorkerThread& thread) {
    if (!thread.started) return;
    pthread_detach(Native(thread));
    thread.started = false;
}

}  // namespace kestrel::platform
