#include "platform/poller.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace kestrel::platform {

namespace {
constexpr int kMaximumReports = 64;
}

bool CreatePoller(int* poller, int32_t* error) {
    int descriptor = epoll_create1(EPOLL_CLOEXEC);
    if (descriptor < 0) {
        *error = errno;
        return false;
    }
    *poller = descriptor;
    return true;
}

bool WatchDescriptor(int poller, int descriptor, uint64_t token, bool* watched, int32_t* error) {
    struct epoll_event event = {};
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    event.data.u64 = token;
    *watched = false;
    if (epoll_ctl(poller, EPOLL_CTL_ADD, descriptor, &event) == 0) {
        *watched = true;
        return true;
    }
    if (errno == EPERM) return true;  // a regular file: every attempt completes at once
    *error = errno;
    return false;
}

void UnwatchDescriptor(int poller, int descriptor) {
    // Explicit removal matters when the descriptor was duplicated elsewhere:
    // closing ours alone would leave it reporting under a reused token.
    epoll_ctl(poller, EPOLL_CTL_DEL, descriptor, nullptr);
}

int WaitPoller(int poller, uint64_t* tokens, int capacity, int timeoutMilliseconds, int32_t* error) {
    struct epoll_event events[kMaximumReports];
    if (capacity > kMaximumReports) capacity = kMaximumReports;
    int count = epoll_wait(poller, events, capacity, timeoutMilliseconds);
    if (count < 0) {
        if (errno == EINTR) return 0;
        *error = errno;
        return -1;
    }
    for (int i = 0; i < count; ++i) tokens[i] = events[i].data.u64;
    return count;
}

bool CreateWakeup(int* wakeup, int32_t* error) {
    int descriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (descriptor < 0) {
        *error = errno;
        return false;
    }
    *wakeup = descriptor;
    return true;
}

void SignalWakeup(int wakeup) {
    uint64_t one = 1;
    // Only fails when the counter is saturated, which still wakes the waiter.
    ssize_t written = write(wakeup, &one, sizeof one);
    (void)written;
}

void DrainWakeup(int wakeup) {
    uint64_t value;
    ssize_t got = read(wakeup, &value, sizeof value);
    (void)got;
}

}  // namespace kestrel::platform
