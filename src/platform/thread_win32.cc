#include "platform/thread.h"

#include <windows.h>

namespace kestrel::platform {

namespace {

static_assert(sizeof(HANDLE) <= sizeof(uintptr_t));

DWORD WINAPI Trampoline(void* record) {
    const ThreadHandle& thread = *static_cast<const ThreadHandle*>(record);
    thread.routine(thread.argument);
    return 0;
}

HANDLE SystemHandle(const ThreadHandle& thread) { return reinterpret_cast<HANDLE>(thread.native); }

}  // namespace

bool StartThread(ThreadHandle& thread, ThreadRoutine routine, void* argument, int& error) {
    thread.routine = routine;
    thread.argument = argument;
    const HANDLE handle = CreateThread(nullptr, 0, Trampoline, &thread, 0, nullptr);
    if (handle == nullptr) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    thread.native = reinterpret_cast<uintptr_t>(handle);
    thread.running = true;
    return true;
}

void JoinThread(ThreadHandle& thread) {
    if (!thread.running) return;
    WaitForSingleObject(SystemHandle(thread), INFINITE);
    CloseHandle(SystemHandle(thread));
    thread.running = false;
}

void DetachThread(ThreadHandle& thread) {
    if (!thread.running) return;
    // The thread runs on; only our reference to it goes.
    CloseHandle(SystemHandle(thread));
    thread.running = false;
}

}  // namespace kestrel::platform
