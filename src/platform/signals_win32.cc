#include "platform/signals.h"

#include <windows.h>

#include <atomic>

namespace kestrel::platform {

namespace {

std::atomic<SignalCallback> gOnInterrupt{nullptr};

// Runs on the thread the system starts for each control event. Only Ctrl+C
// is the program's; Ctrl+Break, closing and logging off keep the system's
// handling.
BOOL WINAPI ControlHandler(DWORD event) {
    if (event != CTRL_C_EVENT) return FALSE;
    const SignalCallback callback = gOnInterrupt.load();
    if (callback != nullptr) callback();
    return TRUE;
}

}  // namespace

bool StartSignalThread(SignalCallback onInterrupt) {
    gOnInterrupt.store(onInterrupt);
    return SetConsoleCtrlHandler(ControlHandler, TRUE) != FALSE;
}

// The console reports a new size among the input, with the size itself, to
// the display's input thread (ReadConsoleEvents); nothing else learns of it.
void SetResizeCallback(SignalCallback) {}

}  // namespace kestrel::platform
