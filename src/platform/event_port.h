// The operating system's half of the event loop: issuing one transfer on a
// file, pipe or socket, learning what a transfer the system carried on with
// has achieved, and waiting until the system has news of any of them.
//
// The loop above it keeps the objects, the ready queue, the timers and the
// rules of a whole operation (partial transfers, end of stream, time-outs);
// the port only ever sees one request at a time. Both kinds of system fit
// behind it:
//   - readiness (epoll): Start tries the call at once; when nothing can move,
//     the request is pending and a report of the handle means "try again",
//     so Finish moves nothing and the loop starts the request again;
//   - completion (an I/O completion port): Start issues an overlapped
//     request, which completes at once or is pending; a report carries the
//     request's result, which Finish collects.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/handles.h"

namespace kestrel::platform {

enum class PortTarget : uint8_t {
    kPositionalFile,  // reads and writes at an explicit offset
    kStream,          // a pipe or other byte stream that is not a socket
    kSocket,
};

// One request: at most `length` (> 0) bytes at `data`, at `offset` for a
// positional file. A socket's handle is its SocketHandle's native value.
struct PortTransfer {
    PortTarget target;
    bool write;
    intptr_t handle;
    void* data;
    uint32_t length;
    uint64_t offset;
};

enum class PortStatus : uint8_t {
    kMoved,        // `moved` bytes went (from Finish, 0 when the report only means "try again")
    kPending,      // the system carries on; the port reports the object's key when there is news
    kTryLater,     // nothing moved and no report will come: a transient shortage, or a handle
                   // the port cannot watch; the loop tries again after the others had their turn
    kEndOfStream,  // a read of 0 bytes, or the peer is gone (broken pipe, reset connection)
    kFailed,       // `error` holds the system's code
};

// The port's state for one object, embedded in it so that a request needs no
// allocation: a completion port keeps the request's overlapped structure
// here, a readiness port whether the handle is watched.
inline constexpr size_t kPortSlotBytes = 64;
struct PortSlot {
    alignas(8) unsigned char state[kPortSlotBytes];
};

// What one wait brought.
struct PortReports {
    int keys = 0;        // keys stored
    bool full = false;   // the system gave as many reports as asked for: more may be waiting
    bool woken = false;  // Wake was called since the last wait
};

// Used by the loop thread only, except for Wake and Interrupt.
class EventPort {
public:
    EventPort() = default;
    ~EventPort() { Close(); }
    EventPort(const EventPort&) = delete;
    EventPort& operator=(const EventPort&) = delete;

    bool Open(int32_t& error);
    void Close();

    // Joins the handle to the port, to be reported under `key`, and prepares
    // it for requests that do not block the thread. False with the system's
    // code; the handle is then not joined.
    bool Attach(PortSlot& slot, PortTarget target, intptr_t handle, uint32_t key, int32_t& error);
    // Before the handle is closed.
    void Detach(PortSlot& slot, PortTarget target, intptr_t handle);

    // Issues the request. Never kMoved with 0 bytes.
    PortStatus Start(PortSlot& slot, const PortTransfer& transfer, uint32_t& moved, int32_t& error);
    // After the object was reported while its request was pending: what the
    // request achieved (kMoved, or kPending while it is still going on).
    PortStatus Finish(PortSlot& slot, const PortTransfer& transfer, uint32_t& moved, int32_t& error);

    // Waits up to `timeoutMilliseconds` (-1 without limit, 0 only to look) and
    // stores the keys of at most `capacity` reports. False with the system's
    // code; a wait that ends without news (also on a signal) is no failure.
    bool Wait(uint32_t* keys, int capacity, int timeoutMilliseconds, PortReports& reports, int32_t& error);

    // From any thread: ends the wait in progress, or the next one.
    void Wake();
    // From any thread: makes the handle's pending and later requests end
    // (a socket is shut down in both directions).
    void Interrupt(PortTarget target, intptr_t handle);

private:
    FileHandle port_;    // the system's readiness or completion queue
    FileHandle wakeup_;  // what Wake signals, where the queue cannot be posted to itself
};

}  // namespace kestrel::platform
