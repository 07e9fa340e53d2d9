// The event port on readiness: epoll, with every handle watched edge-
// triggered in both directions for its whole registration, so that a
// request going pending costs no extra system call. A report only means
// "try again"; Finish therefore moves nothing and the loop starts again.
#include "platform/event_port.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstring>

#include "platform/exit_gate.h"
#include "platform/retry_posix.h"

namespace kestrel::platform {

namespace {

constexpr int kMaximumReports = 64;
// Reported by the wake-up counter; keys stay below 65536.
constexpr uint64_t kWakeupToken = ~uint64_t{0};

struct PosixSlot {
    bool watched;  // the poller reports readiness of the handle
};
static_assert(sizeof(PosixSlot) <= kPortSlotBytes);

PosixSlot& SlotOf(PortSlot& slot) { return *reinterpret_cast<PosixSlot*>(slot.state); }

int Descriptor(intptr_t handle) { return static_cast<int>(handle); }

ssize_t Call(const PortTransfer& t) {
    const int fd = Descriptor(t.handle);
    switch (t.target) {
    case PortTarget::kPositionalFile:
        return t.write ? pwrite(fd, t.data, t.length, static_cast<off_t>(t.offset))
                       : pread(fd, t.data, t.length, static_cast<off_t>(t.offset));
    case PortTarget::kStream:
        return t.write ? ::write(fd, t.data, t.length) : ::read(fd, t.data, t.length);
    case PortTarget::kSocket:
        return t.write ? send(fd, t.data, t.length, MSG_NOSIGNAL | MSG_DONTWAIT)
                       : recv(fd, t.data, t.length, MSG_DONTWAIT);
    }
    return -1;
}

bool SetNonBlocking(int fd, int32_t& error) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || ((flags & O_NONBLOCK) == 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)) {
        error = errno;
        return false;
    }
    return true;
}

bool Watch(int poller, int fd, uint64_t token, bool& watched, int32_t& error) {
    struct epoll_event event = {};
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    event.data.u64 = token;
    watched = false;
    if (epoll_ctl(poller, EPOLL_CTL_ADD, fd, &event) == 0) {
        watched = true;
        return true;
    }
    if (errno == EPERM) return true;  // a regular file: every attempt completes at once
    error = errno;
    return false;
}

}  // namespace

bool EventPort::Open(int32_t& error) {
    Close();
    const int poller = epoll_create1(EPOLL_CLOEXEC);
    if (poller < 0) {
        error = errno;
        return false;
    }
    port_ = FileHandle{poller};
    const int wakeup = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeup < 0) {
        error = errno;
        Close();
        return false;
    }
    wakeup_ = FileHandle{wakeup};
    bool watched = false;
    if (!Watch(poller, wakeup, kWakeupToken, watched, error)) {
        Close();
        return false;
    }
    return true;
}

void EventPort::Close() {
    CloseFile(wakeup_);
    CloseFile(port_);
}

bool EventPort::Attach(PortSlot& slot, PortTarget target, intptr_t handle, uint32_t key, int32_t& error) {
    std::memset(slot.state, 0, sizeof slot.state);
    // Positional transfers on a regular file complete or fail at once.
    if (target == PortTarget::kPositionalFile) return true;
    const int fd = Descriptor(handle);
    return SetNonBlocking(fd, error) && Watch(Descriptor(port_.native), fd, key, SlotOf(slot).watched, error);
}

void EventPort::Detach(PortSlot& slot, PortTarget, intptr_t handle) {
    // Explicit removal matters when the descriptor was duplicated elsewhere:
    // closing ours alone would leave it reporting under a reused key.
    if (SlotOf(slot).watched) epoll_ctl(Descriptor(port_.native), EPOLL_CTL_DEL, Descriptor(handle), nullptr);
    SlotOf(slot).watched = false;
}

PortStatus EventPort::Start(PortSlot& slot, const PortTransfer& transfer, uint32_t& moved, int32_t& error) {
    moved = 0;
    const ssize_t result = RetryInterrupted([&] { return Call(transfer); });
    if (result > 0) {
        moved = static_cast<uint32_t>(result);
        return PortStatus::kMoved;
    }
    if (result == 0) {
        // A write that moves nothing without an error cannot make progress either.
        if (transfer.write) {
            error = EIO;
            return PortStatus::kFailed;
        }
        return PortStatus::kEndOfStream;
    }
    const int code = errno;
    if (code == EAGAIN || code == EWOULDBLOCK) {
        // A handle without readiness reports can only be polled by retrying.
        return SlotOf(slot).watched ? PortStatus::kPending : PortStatus::kTryLater;
    }
    if (code == EPIPE || code == ECONNRESET) return PortStatus::kEndOfStream;
    if (transfer.target != PortTarget::kSocket && (code == ENOMEM || code == ENOBUFS)) return PortStatus::kTryLater;
    error = code;
    return PortStatus::kFailed;
}

PortStatus EventPort::Finish(PortSlot&, const PortTransfer&, uint32_t& moved, int32_t&) {
    // Readiness moved nothing by itself: the loop starts the request again.
    moved = 0;
    return PortStatus::kMoved;
}

bool EventPort::Wait(uint32_t* keys, int capacity, int timeoutMilliseconds, PortReports& reports, int32_t& error) {
    struct epoll_event events[kMaximumReports];
    if (capacity > kMaximumReports) capacity = kMaximumReports;
    reports = PortReports{};
    const int count = epoll_wait(Descriptor(port_.native), events, capacity, timeoutMilliseconds);
    StopAtExitGate();
    if (count < 0) {
        if (errno == EINTR) return true;
        error = errno;
        return false;
    }
    reports.full = count == capacity;
    for (int i = 0; i < count; ++i) {
        if (events[i].data.u64 != kWakeupToken) {
            keys[reports.keys++] = static_cast<uint32_t>(events[i].data.u64);
            continue;
        }
        uint64_t value;
        ssize_t drained = read(Descriptor(wakeup_.native), &value, sizeof value);
        (void)drained;
        reports.woken = true;
    }
    return true;
}

void EventPort::Wake() {
    uint64_t one = 1;
    // Only fails when the counter is saturated, which still wakes the waiter.
    ssize_t written = write(Descriptor(wakeup_.native), &one, sizeof one);
    (void)written;
}

void EventPort::Interrupt(PortTarget target, intptr_t handle) {
    if (target == PortTarget::kSocket && handle != -1) shutdown(Descriptor(handle), SHUT_RDWR);
}

}  // namespace kestrel::platform
