#include "platform/signals.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>

namespace kestrel::platform {

namespace {

std::atomic<SignalCallback> gOnInterrupt{nullptr};
std::atomic<SignalCallback> gOnResize{nullptr};

void HandledSignals(sigset_t* set) {
    sigemptyset(set);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGWINCH);
}

void* SignalThreadMain(void*) {
    sigset_t set;
    HandledSignals(&set);
    for (;;) {
        int signalNumber = 0;
        if (sigwait(&set, &signalNumber) != 0) continue;
        const SignalCallback callback = signalNumber == SIGINT ? gOnInterrupt.load() : gOnResize.load();
        if (callback != nullptr) callback();
    }
    return nullptr;
}

}  // namespace

bool StartSignalThread(SignalCallback onInterrupt) {
    gOnInterrupt.store(onInterrupt);
    sigset_t set;
    HandledSignals(&set);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, SignalThreadMain, nullptr) != 0) return false;
    pthread_detach(thread);
    return true;
}

void SetResizeCallback(SignalCallback onResize) { gOnResize.store(onResize); }

}  // namespace kestrel::platform
