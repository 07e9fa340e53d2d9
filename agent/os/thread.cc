#include "agent/os/thread.h"

#include <pthread.h>

namespace kestrel::agent::os {

namespace {

struct Start {
    void (*routine)(void*);
    void* argument;
};

void* Trampoline(void* raw) {
    const Start start = *static_cast<Start*>(raw);
    delete static_cast<Start*>(raw);
    start.routine(start.argument);
    return nullptr;
}

}  // namespace

bool StartDetachedThread(void (*routine)(void*), void* argument, int& error) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    auto* start = new Start{routine, argument};
    pthread_t thread;
    const int result = pthread_create(&thread, &attributes, Trampoline, start);
    pthread_attr_destroy(&attributes);
    if (result == 0) return true;
    delete start;
    error = result;
    return false;
}

}  // namespace kestrel::agent::os
