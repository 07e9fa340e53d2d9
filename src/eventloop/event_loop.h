// The single-threaded loop that carries every socket, pipe, file and timer
// operation of the client, and the I/O object each participant embeds.
//
// An owner embeds an IoObject in its own record, fills in the fields marked
// "owner" and registers it. The loop moves `length` bytes between `buffer` and
// the handle (retrying partial transfers), watches the time-out, and calls
// exactly one of the two callbacks when the operation ends:
//   - completionCallback(object): all bytes moved, or end of stream was seen
//     (kIoStateEndOfStream set, `position` tells how far it got), or with
//     kIoCompleteOnAnyData as soon as any byte moved;
//   - failureCallback(object, error): the system error code, 0 when the
//     time-out expired, kIoCancelledError when cancelled from another thread.
// The operation flags are cleared before either callback runs, so a callback
// can start the next operation on the same object at once.
//
// A no-handle object with a time-out is a pure timer: its expiry calls the
// failure callback with 0. Without a time-out it is a yield: its completion
// callback runs once whatever else is ready has had its turn.
//
// Time-outs count from the start of an operation and again from each step of
// progress, on a monotonic clock read once per dispatch (objects armed in one
// callback share their due time and expire in arming order).
//
// End of stream: a 0-byte read, a broken pipe or a reset connection.
// kIoStateEndOfStream stays set until the owner clears it or registers the
// object again. Writes to a pipe whose reader is gone need the broken-pipe
// signal ignored, as the program does at start-up (platform::IgnoreBrokenPipe).
//
// This file and event_loop.cc are the portable core: objects, keys, the ready
// queue, the timers and the rules of an operation. Issuing each request and
// waiting for the system's news is platform::EventPort (platform/event_port.h).
//
// Callbacks may register, start and unregister any object, themselves
// included. EventLoop::Start never calls a callback itself: an operation that
// completes at once is handed back to the loop, which calls the completion
// callback after control has returned to it. Make Start the last action on
// its path all the same and keep no state on the stack across it.
//
//   struct Reader { IoObject io; char data[16]; };
//   void Done(IoObject* io) { auto* r = static_cast<Reader*>(io->owner); ...
//                             EventLoop::Unregister(io); }
//   void Failed(IoObject* io, int32_t error) { ... EventLoop::Unregister(io); }
//   Reader r;
//   r.io.flags = kIoKindStream;  r.io.handle = pipeReadEnd;  r.io.owner = &r;  // a platform::FileHandle
//   r.io.completionCallback = Done;  r.io.failureCallback = Failed;
//   r.io.buffer = r.data;  r.io.length = 16;  r.io.operation = kIoRead;
//   r.io.timeout = 90 * kIoTicksPerSecond;
//   IoObject* initial[] = {&r.io, nullptr};
//   EventLoop loop;  int32_t error;
//   if (!loop.Run(initial, &error)) { ... }   // returns when nothing is registered
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/event_port.h"
#include "platform/handles.h"
#include "platform/system_errors.h"
#include "runtime/error_codes.h"

namespace kestrel {

class EventLoop;
struct IoObject;

using IoCompletionCallback = void (*)(IoObject* object);
// error 0: the time-out expired.
using IoFailureCallback = void (*)(IoObject* object, int32_t error);

// IoObject::flags, kind bits (set by the owner). A socket has none of them.
inline constexpr uint8_t kIoKindPositionalFile = 0x01;  // reads and writes at fileOffsetBase + position
inline constexpr uint8_t kIoKindStream = 0x40;          // pipe or other byte stream, not a socket
inline constexpr uint8_t kIoKindNoHandle = 0x80;        // pure timer or yield object
inline constexpr uint8_t kIoKindMask = kIoKindPositionalFile | kIoKindStream | kIoKindNoHandle;
// IoObject::flags, state bits (kept by the loop; the owner may read them).
inline constexpr uint8_t kIoStateEndOfStream = 0x04;
inline constexpr uint8_t kIoStateInTimerList = 0x08;
inline constexpr uint8_t kIoStateInReadyQueue = 0x10;

// IoObject::operation.
inline constexpr uint8_t kIoRead = 1;
inline constexpr uint8_t kIoWrite = 2;
inline constexpr uint8_t kIoOperationMask = 3;
inline constexpr uint8_t kIoCompleteOnAnyData = 0x10;  // owner: done as soon as any data has moved
inline constexpr uint8_t kIoDeferredStart = 0x20;      // owner or Run: the loop starts it later
inline constexpr uint8_t kIoTimedOut = 0x40;           // loop: the time-out expired
inline constexpr uint8_t kIoInitialStart = 0x80;       // loop: initial start pending (set by Run)

// Time-outs are counted in 100-nanosecond units.
inline constexpr uint64_t kIoTicksPerSecond = 10'000'000;

// Error code of an operation cancelled through EventLoop::CancelFromOtherThread.
inline const int32_t& kIoCancelledError = platform::kErrorCancelled;

// Error code when no key (or no memory for a key block) is left.
inline constexpr int32_t kIoNoKeyError = kErrorNotEnoughMemory;

struct IoObject {
    EventLoop* loop = nullptr;              // set by registration
    IoObject* timerLater = nullptr;         // timer list, toward later due times
    IoObject* timerEarlier = nullptr;       // timer list, toward earlier due times
    IoObject* readyNext = nullptr;          // ready queue
    IoObject* readyPrevious = nullptr;
    IoFailureCallback failureCallback = nullptr;  // owner
    void* owner = nullptr;                  // owner: one word for the owner's use
    uint64_t dueTime = 0;                   // monotonic 100-ns ticks at which the time-out expires
    platform::FileHandle handle;            // owner, positional file and stream kinds
    platform::SocketHandle socket;          // owner, socket kind: a connected socket
    uint32_t key = 0;                       // index into the loop's key table (handle objects)
    uint8_t flags = 0;                      // kind (owner) and state bits
    uint8_t loopState = 0;                  // the loop's own bookkeeping; owners leave it alone
    IoCompletionCallback completionCallback = nullptr;  // owner
    void* buffer = nullptr;                 // owner: start of the data area
    uint64_t fileOffsetBase = 0;            // owner, positional files: file offset of buffer[0]
    uint64_t timeout = 0;                   // owner: 100-ns units, 0 for none
    uint32_t cancelRequest = 0;             // written by other threads (atomically); see CancelFromOtherThread
    uint32_t lastTransferred = 0;           // bytes moved by the last system call
    uint32_t length = 0;                    // owner: bytes the operation must move
    uint32_t position = 0;                  // bytes moved so far (reset by every start)
    uint8_t operation = 0;                  // owner: kIoRead/kIoWrite and the flags above
    platform::PortSlot portSlot{};          // the event port's state of the request (handle objects)
};

class EventLoop {
public:
    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Adds the object. A no-handle object is only counted. A handle object takes
    // the lowest free key (none below 65536 left, or no memory: kIoNoKeyError),
    // joins the event port and is counted. When joining the port fails, the
    // system's code is returned and the object is not registered. Regular
    // files need no reports: their transfers complete or fail at once,
    // whatever the kind. When `operation` is non-zero the object is
    // started at once and Start's result is returned. Only valid while Run runs
    // (the initial objects are registered by Run itself).
    static bool Register(EventLoop* loop, IoObject* object, int32_t* error);

    // Starts (or restarts) the operation the owner has set up. Returns true when
    // the operation is pending (time-out armed), queued for the loop (including
    // "completed at once": the completion callback runs from the loop after
    // control returns there), or failed with its failure callback already
    // called. Returns false only when waiting on the event port failed (error set).
    // Restarting an object whose operation has not ended abandons that
    // operation without a callback. A handle object with neither kIoRead nor
    // kIoWrite stays idle until started again.
    static bool Start(IoObject* object, int32_t* error);

    // Takes the object out of the ready queue and the timer list, releases its
    // key, closes its handle and uncounts it. No callback of the object runs
    // afterwards. Safe inside the object's own callbacks.
    static void Unregister(IoObject* object);

    // For owners that keep their handle in the object whether or not it is
    // registered: unregisters a registered object (which closes its handle),
    // or closes the handle of one that is not registered.
    static void Discard(IoObject* object);

    // Registers the null-terminated `objects` (each one deferred, so that the
    // loop starts it) and runs until no object is registered: true. False with
    // an error code when the event port cannot be opened or waited on, or an
    // initial registration fails (the objects registered so far are
    // unregistered again). Must not be called while already running
    // (platform::kErrorAlreadyRunning).
    bool Run(IoObject* const* objects, int32_t* error);

    // The one thread-safe entry. Cancels the object's operations: the operation
    // in progress, and every later one until the object is unregistered, ends
    // with the failure callback and kIoCancelledError on the loop thread (never
    // as end of stream). A socket is also shut down in both directions. The
    // caller guarantees that the object stays registered for the duration of
    // the call (the owner unregisters it only under the same lock). Handle
    // objects only; no-handle objects are ignored.
    static void CancelFromOtherThread(IoObject* object);

    // Registered objects, no-handle objects included.
    uint32_t RegisteredCount() const { return registeredCount_; }

private:
    static constexpr uint32_t kSlotsPerBlock = 512;
    static constexpr uint32_t kMaximumBlocks = 65536 / kSlotsPerBlock;
    struct KeyBlock {
        uint64_t occupancy[kSlotsPerBlock / 64];  // bit set: slot taken
        IoObject* slots[kSlotsPerBlock];
    };

    enum class Outcome : uint8_t { kComplete, kPending, kTryLater, kFailed };

    bool AllocateKey(IoObject* object);
    void ReleaseKey(uint32_t key);
    IoObject* ObjectForKey(uint64_t key) const;

    void PushReadyHead(IoObject* object);
    void PushReadyTail(IoObject* object);
    void RemoveReady(IoObject* object);
    IoObject* PopReady();

    void Arm(IoObject* object);
    void Disarm(IoObject* object);

    Outcome Attempt(IoObject* object, int32_t* error, bool* progressed);
    Outcome Collect(IoObject* object, int32_t* error, bool* progressed);
    Outcome Unmoved(IoObject* object, platform::PortStatus status, int32_t* error);
    void Conclude(IoObject* object, Outcome outcome, int32_t error, bool progressed);
    bool Dispatch(IoObject* object, int32_t* error);
    void Complete(IoObject* object);
    void Fail(IoObject* object, int32_t error);

    bool Wait(bool polling, int32_t* error);
    void TakeCancellations();
    void Teardown();

    KeyBlock firstBlock_{};
    KeyBlock* blocks_[kMaximumBlocks]{};    // blocks_[0] is &firstBlock_, later ones from the heap
    uint32_t blockCount_ = 1;
    IoObject* readyHead_ = nullptr;
    IoObject* readyTail_ = nullptr;
    IoObject* timerEarliest_ = nullptr;
    IoObject* timerLatest_ = nullptr;
    uint32_t registeredCount_ = 0;
    platform::EventPort port_;              // woken by CancelFromOtherThread
    std::atomic<uint32_t> cancelsPending_{0};
    bool running_ = false;
    int64_t now_ = 0;                       // monotonic ticks, refreshed before each dispatch
};

}  // namespace kestrel
