#include "eventloop/event_loop.h"

#include <bit>
#include <climits>
#include <cstdlib>
#include <new>

#include "platform/clock.h"

namespace kestrel {

namespace {

constexpr int kReportsPerWait = 10;

// IoObject::loopState
constexpr uint8_t kLoopCompleted = 0x01;  // completed inside Start; the loop calls back
constexpr uint8_t kLoopTryLater = 0x02;   // attempt again when taken from the ready queue

// IoObject::cancelRequest
constexpr uint32_t kCancelRequested = 1;  // set by another thread, not yet seen by the loop
constexpr uint32_t kCancelSeen = 2;

bool IsNoHandle(const IoObject* object) { return (object->flags & kIoKindNoHandle) != 0; }

bool IsSocket(const IoObject* object) {
    return (object->flags & (kIoKindPositionalFile | kIoKindStream | kIoKindNoHandle)) == 0;
}

intptr_t NativeOf(const IoObject* object) {
    return IsSocket(object) ? object->socket.native : object->handle.native;
}

platform::PortTarget TargetOf(const IoObject* object) {
    if (object->flags & kIoKindPositionalFile) return platform::PortTarget::kPositionalFile;
    if (object->flags & kIoKindStream) return platform::PortTarget::kStream;
    return platform::PortTarget::kSocket;
}

// The request for the rest of the operation; only while something is left.
platform::PortTransfer RestOf(const IoObject* object) {
    return platform::PortTransfer{TargetOf(object),
                                  (object->operation & kIoOperationMask) == kIoWrite,
                                  NativeOf(object),
                                  static_cast<char*>(object->buffer) + object->position,
                                  object->length - object->position,
                                  object->fileOffsetBase + object->position};
}

// Takes the object out of one of its two lists, whose links are the members
// `Next` (toward `last`) and `Previous` (toward `first`).
template <IoObject* IoObject::*Next, IoObject* IoObject::*Previous>
void Unlink(IoObject* object, IoObject*& first, IoObject*& last) {
    if (object->*Previous) (object->*Previous)->*Next = object->*Next;
    else first = object->*Next;
    if (object->*Next) (object->*Next)->*Previous = object->*Previous;
    else last = object->*Previous;
    object->*Next = object->*Previous = nullptr;
}

// Puts the object at the `end` of a list: `Outward` is its link beyond that
// end (none), `Inward` the one toward `otherEnd`.
template <IoObject* IoObject::*Outward, IoObject* IoObject::*Inward>
void LinkAtEnd(IoObject* object, IoObject*& end, IoObject*& otherEnd) {
    object->*Outward = nullptr;
    object->*Inward = end;
    if (end) end->*Outward = object;
    else otherEnd = object;
    end = object;
}

bool IsDone(const IoObject* object, uint32_t moved) {
    return object->position == object->length || (moved > 0 && (object->operation & kIoCompleteOnAnyData));
}

uint32_t CancelState(IoObject* object) {
    return std::atomic_ref<uint32_t>(object->cancelRequest).load(std::memory_order_acquire);
}

void SetCancelState(IoObject* object, uint32_t value) {
    std::atomic_ref<uint32_t>(object->cancelRequest).store(value, std::memory_order_release);
}

}  // namespace

EventLoop::EventLoop() { blocks_[0] = &firstBlock_; }

EventLoop::~EventLoop() { Teardown(); }

// ---- keys ----

bool EventLoop::AllocateKey(IoObject* object) {
    for (uint32_t b = 0; b < kMaximumBlocks; ++b) {
        if (b == blockCount_) {
            auto* block = static_cast<KeyBlock*>(calloc(1, sizeof(KeyBlock)));
            if (block == nullptr) return false;
            blocks_[b] = block;
            ++blockCount_;
        }
        KeyBlock* block = blocks_[b];
        for (uint32_t w = 0; w < kSlotsPerBlock / 64; ++w) {
            uint64_t free = ~block->occupancy[w];
            if (free == 0) continue;
            uint32_t bit = static_cast<uint32_t>(std::countr_zero(free));
            block->occupancy[w] |= uint64_t{1} << bit;
            uint32_t slot = w * 64 + bit;
            block->slots[slot] = object;
            object->key = b * kSlotsPerBlock + slot;
            return true;
        }
    }
    return false;
}

void EventLoop::ReleaseKey(uint32_t key) {
    KeyBlock* block = blocks_[key / kSlotsPerBlock];
    uint32_t slot = key % kSlotsPerBlock;
    block->slots[slot] = nullptr;
    block->occupancy[slot / 64] &= ~(uint64_t{1} << (slot % 64));
}

IoObject* EventLoop::ObjectForKey(uint64_t key) const {
    if (key >= uint64_t{blockCount_} * kSlotsPerBlock) return nullptr;
    return blocks_[key / kSlotsPerBlock]->slots[key % kSlotsPerBlock];
}

// ---- ready queue ----

void EventLoop::PushReadyHead(IoObject* object) {
    if (object->flags & kIoStateInReadyQueue) RemoveReady(object);
    LinkAtEnd<&IoObject::readyPrevious, &IoObject::readyNext>(object, readyHead_, readyTail_);
    object->flags |= kIoStateInReadyQueue;
}

void EventLoop::PushReadyTail(IoObject* object) {
    if (object->flags & kIoStateInReadyQueue) RemoveReady(object);
    LinkAtEnd<&IoObject::readyNext, &IoObject::readyPrevious>(object, readyTail_, readyHead_);
    object->flags |= kIoStateInReadyQueue;
}

void EventLoop::RemoveReady(IoObject* object) {
    if ((object->flags & kIoStateInReadyQueue) == 0) return;
    Unlink<&IoObject::readyNext, &IoObject::readyPrevious>(object, readyHead_, readyTail_);
    object->flags &= static_cast<uint8_t>(~kIoStateInReadyQueue);
}

IoObject* EventLoop::PopReady() {
    IoObject* object = readyHead_;
    if (object) RemoveReady(object);
    return object;
}

// ---- timer list ----

void EventLoop::Arm(IoObject* object) {
    if (object->timeout == 0 || (object->flags & kIoStateInTimerList)) return;
    if (!IsNoHandle(object) && (object->operation & kIoOperationMask) == 0) return;
    object->dueTime = static_cast<uint64_t>(now_) + object->timeout;
    // Equal due times expire in arming order, so a newcomer goes after them.
    // New due times are mostly the latest, hence the walk from that end.
    IoObject* before = timerLatest_;
    while (before && before->dueTime > object->dueTime) before = before->timerEarlier;
    object->timerEarlier = before;
    object->timerLater = before ? before->timerLater : timerEarliest_;
    if (object->timerLater) object->timerLater->timerEarlier = object; else timerLatest_ = object;
    if (before) before->timerLater = object; else timerEarliest_ = object;
    object->flags |= kIoStateInTimerList;
}

void EventLoop::Disarm(IoObject* object) {
    if ((object->flags & kIoStateInTimerList) == 0) return;
    Unlink<&IoObject::timerLater, &IoObject::timerEarlier>(object, timerEarliest_, timerLatest_);
    object->flags &= static_cast<uint8_t>(~kIoStateInTimerList);
}

// ---- operations ----

EventLoop::Outcome EventLoop::Attempt(IoObject* object, int32_t* error, bool* progressed) {
    *progressed = false;
    if (CancelState(object)) {
        *error = kIoCancelledError;
        return Outcome::kFailed;
    }
    for (;;) {
        if (object->position == object->length) return Outcome::kComplete;
        uint32_t moved = 0;
        const platform::PortStatus status = port_.Start(object->portSlot, RestOf(object), moved, *error);
        object->lastTransferred = moved;
        if (status != platform::PortStatus::kMoved) return Unmoved(object, status, error);
        object->position += moved;
        *progressed = true;
        if (IsDone(object, moved)) return Outcome::kComplete;
    }
}

// After a report of an object whose request was pending: takes what the
// request moved and carries on with the rest.
EventLoop::Outcome EventLoop::Collect(IoObject* object, int32_t* error, bool* progressed) {
    uint32_t moved = 0;
    const platform::PortStatus status = port_.Finish(object->portSlot, RestOf(object), moved, *error);
    if (status != platform::PortStatus::kMoved) {
        *progressed = false;
        return Unmoved(object, status, error);
    }
    object->position += moved;
    if (moved > 0) {
        object->lastTransferred = moved;
        if (IsDone(object, moved)) {
            *progressed = true;
            return Outcome::kComplete;
        }
    }
    const Outcome outcome = Attempt(object, error, progressed);
    *progressed = *progressed || moved > 0;
    return outcome;
}

// What a request that moved nothing means for the operation.
EventLoop::Outcome EventLoop::Unmoved(IoObject* object, platform::PortStatus status, int32_t* error) {
    if (status == platform::PortStatus::kPending) return Outcome::kPending;
    if (status == platform::PortStatus::kTryLater) return Outcome::kTryLater;
    // A shutdown from another thread shows up as end of stream or a broken
    // pipe; the cancellation was recorded before it and takes precedence.
    if (CancelState(object)) {
        *error = kIoCancelledError;
        return Outcome::kFailed;
    }
    if (status == platform::PortStatus::kFailed) return Outcome::kFailed;
    object->flags |= kIoStateEndOfStream;
    return Outcome::kComplete;
}

void EventLoop::Complete(IoObject* object) {
    Disarm(object);
    object->operation = 0;
    object->completionCallback(object);
}

void EventLoop::Fail(IoObject* object, int32_t error) {
    Disarm(object);
    RemoveReady(object);
    object->loopState &= static_cast<uint8_t>(~(kLoopCompleted | kLoopTryLater));
    // Cleared like before a completion: an operation ends with exactly one callback.
    object->operation = 0;
    object->failureCallback(object, error);
}

void EventLoop::Conclude(IoObject* object, Outcome outcome, int32_t error, bool progressed) {
    switch (outcome) {
    case Outcome::kComplete:
        Complete(object);
        return;
    case Outcome::kPending:
        // The time-out counts from the last progress; a report that moved
        // nothing leaves the running time-out alone.
        if (progressed) Disarm(object);
        Arm(object);
        return;
    case Outcome::kTryLater:
        Arm(object);
        object->loopState |= kLoopTryLater;
        PushReadyTail(object);
        return;
    case Outcome::kFailed:
        Fail(object, error);
        return;
    }
}

bool EventLoop::Register(EventLoop* loop, IoObject* object, int32_t* error) {
    object->loop = loop;
    object->timerEarlier = object->timerLater = nullptr;
    object->readyNext = object->readyPrevious = nullptr;
    object->flags &= kIoKindMask;
    object->loopState = 0;
    SetCancelState(object, 0);
    if (!IsNoHandle(object)) {
        if (!loop->AllocateKey(object)) {
            object->loop = nullptr;
            *error = kIoNoKeyError;
            return false;
        }
        if (!loop->port_.Attach(object->portSlot, TargetOf(object), NativeOf(object), object->key, *error)) {
            loop->ReleaseKey(object->key);
            object->loop = nullptr;
            return false;
        }
    }
    ++loop->registeredCount_;
    if (object->operation != 0) return Start(object, error);
    return true;
}

bool EventLoop::Start(IoObject* object, int32_t* error) {
    EventLoop* loop = object->loop;
    object->position = 0;
    loop->RemoveReady(object);
    loop->Disarm(object);
    object->loopState &= static_cast<uint8_t>(~(kLoopCompleted | kLoopTryLater));
    object->operation &= static_cast<uint8_t>(~kIoTimedOut);
    if (object->operation & kIoDeferredStart) {
        loop->PushReadyHead(object);
        return true;
    }
    if (IsNoHandle(object)) {
        if (object->timeout != 0) {
            loop->Arm(object);
            return true;
        }
        // A yield: whatever is ready goes first, otherwise it is done at once.
        if (loop->readyHead_ == nullptr && !loop->Wait(true, error)) return false;
        if (loop->readyHead_ != nullptr) {
            loop->PushReadyTail(object);
            return true;
        }
        object->position = object->length;
        object->loopState |= kLoopCompleted;
        loop->PushReadyHead(object);
        return true;
    }
    if ((object->operation & kIoOperationMask) == 0) return true;
    int32_t code = 0;
    bool progressed = false;
    switch (loop->Attempt(object, &code, &progressed)) {
    case Outcome::kComplete:
        // The loop calls back once control is back at its dispatch point.
        object->loopState |= kLoopCompleted;
        loop->PushReadyHead(object);
        return true;
    case Outcome::kPending:
        loop->Arm(object);
        return true;
    case Outcome::kTryLater:
        object->loopState |= kLoopTryLater;
        loop->PushReadyTail(object);
        return true;
    case Outcome::kFailed:
        loop->Fail(object, code);
        return true;
    }
    return true;
}

void EventLoop::Unregister(IoObject* object) {
    EventLoop* loop = object->loop;
    if (loop == nullptr) return;
    loop->RemoveReady(object);
    loop->Disarm(object);
    if (!IsNoHandle(object)) {
        loop->ReleaseKey(object->key);
        loop->port_.Detach(object->portSlot, TargetOf(object), NativeOf(object));
        if (IsSocket(object)) platform::CloseSocket(object->socket); else platform::CloseFile(object->handle);
    }
    object->loopState = 0;
    SetCancelState(object, 0);
    object->loop = nullptr;
    --loop->registeredCount_;
}

void EventLoop::Discard(IoObject* object) {
    if (object->loop != nullptr) {
        Unregister(object);
        return;
    }
    if (IsNoHandle(object)) return;
    if (IsSocket(object)) platform::CloseSocket(object->socket); else platform::CloseFile(object->handle);
}

void EventLoop::CancelFromOtherThread(IoObject* object) {
    // Only fields fixed at registration are read here: the loop thread keeps
    // changing the others.
    EventLoop* loop = object->loop;
    if (loop == nullptr) return;
    uint32_t expected = 0;
    std::atomic_ref<uint32_t>(object->cancelRequest)
        .compare_exchange_strong(expected, kCancelRequested, std::memory_order_seq_cst);
    // After the request, so that the end of stream the shutdown causes is
    // already recognisable as a cancellation. Only a socket is shut down (a
    // non-socket object's socket is none); its kind bits are not read here.
    loop->port_.Interrupt(platform::PortTarget::kSocket, object->socket.native);
    loop->cancelsPending_.fetch_add(1, std::memory_order_seq_cst);
    loop->port_.Wake();
}

void EventLoop::TakeCancellations() {
    if (cancelsPending_.exchange(0, std::memory_order_seq_cst) == 0) return;
    for (uint32_t b = 0; b < blockCount_; ++b) {
        KeyBlock* block = blocks_[b];
        for (uint32_t w = 0; w < kSlotsPerBlock / 64; ++w) {
            for (uint64_t taken = block->occupancy[w]; taken != 0; taken &= taken - 1) {
                IoObject* object = block->slots[w * 64 + static_cast<uint32_t>(std::countr_zero(taken))];
                if (CancelState(object) != kCancelRequested) continue;
                SetCancelState(object, kCancelSeen);
                // Also ends a request the other thread could not reach (a
                // pipe read on a completion port) or that began after it tried.
                port_.Interrupt(TargetOf(object), NativeOf(object));
                // The next attempt sees the request and fails the operation.
                if (object->operation != 0 && (object->flags & kIoStateInReadyQueue) == 0) PushReadyHead(object);
            }
        }
    }
}

// ---- waiting and dispatching ----

bool EventLoop::Wait(bool polling, int32_t* error) {
    for (;;) {
        int limit = 0;
        if (!polling) {
            if (timerEarliest_ == nullptr) {
                limit = -1;
            } else {
                now_ = platform::MonotonicTicks();
                int64_t left = static_cast<int64_t>(timerEarliest_->dueTime) - now_;
                // Rounded up: waking early would only cost another wait.
                int64_t milliseconds = left <= 0 ? 0 : (left + 9'999) / 10'000;
                limit = milliseconds > INT_MAX ? INT_MAX : static_cast<int>(milliseconds);
            }
        }
        uint32_t keys[kReportsPerWait];
        platform::PortReports reports;
        if (!port_.Wait(keys, kReportsPerWait, limit, reports, *error)) return false;
        now_ = platform::MonotonicTicks();
        for (int i = 0; i < reports.keys; ++i) {
            IoObject* object = ObjectForKey(keys[i]);
            // Unregistered since, or idle: a report for an operation that already ended.
            if (object == nullptr || object->operation == 0) continue;
            if ((object->flags & kIoStateInReadyQueue) == 0) PushReadyHead(object);
        }
        if (reports.woken) TakeCancellations();
        if (reports.full) {
            polling = true;
            continue;
        }
        break;
    }
    // One expiry per wait, once its due time has really come (a wait can end
    // early on a signal). Reports do not hold it back: a loop kept busy by
    // other objects must not starve a time-out.
    if (timerEarliest_ != nullptr && static_cast<int64_t>(timerEarliest_->dueTime) <= now_) {
        IoObject* object = timerEarliest_;
        Disarm(object);
        object->operation |= kIoTimedOut;
        PushReadyHead(object);
    }
    return true;
}

bool EventLoop::Dispatch(IoObject* object, int32_t* error) {
    uint8_t state = object->loopState;
    object->loopState &= static_cast<uint8_t>(~(kLoopCompleted | kLoopTryLater));
    if (state & kLoopCompleted) {
        Complete(object);
        return true;
    }
    if (IsNoHandle(object)) {
        object->operation &= static_cast<uint8_t>(~kIoDeferredStart);
        if (object->operation & kIoTimedOut) {
            Fail(object, 0);
        } else if (object->timeout != 0) {
            Arm(object);
        } else {
            object->position = object->length;
            Complete(object);
        }
        return true;
    }
    if (object->operation & kIoTimedOut) {
        Fail(object, 0);
        return true;
    }
    const bool restarted = (object->operation & kIoDeferredStart) != 0;
    if (restarted) {
        object->operation &= static_cast<uint8_t>(~kIoDeferredStart);
        object->position = 0;
    } else if (state & kLoopTryLater) {
        if ((object->flags & kIoStateInTimerList) && static_cast<int64_t>(object->dueTime) <= now_) {
            Fail(object, 0);
            return true;
        }
        // Let readiness reports in first, so a retrying object cannot starve the others.
        if (!Wait(true, error)) {
            object->loopState |= kLoopTryLater;
            PushReadyTail(object);
            return false;
        }
        RemoveReady(object);  // a report for it may have queued it again
    }
    if ((object->operation & kIoOperationMask) == 0) return true;
    int32_t code = 0;
    bool progressed = false;
    // A deferred start or a retry issues the request afresh; anything else
    // was reported by the port while its request was pending.
    const bool fresh = (state & kLoopTryLater) != 0 || restarted;
    Outcome outcome = fresh ? Attempt(object, &code, &progressed) : Collect(object, &code, &progressed);
    Conclude(object, outcome, code, progressed);
    return true;
}

bool EventLoop::Run(IoObject* const* objects, int32_t* error) {
    if (running_) {
        *error = platform::kErrorAlreadyRunning;
        return false;
    }
    if (!port_.Open(*error)) {
        Teardown();
        return false;
    }
    running_ = true;
    now_ = platform::MonotonicTicks();
    for (uint32_t i = 0; objects != nullptr && objects[i] != nullptr; ++i) {
        IoObject* object = objects[i];
        object->operation |= kIoDeferredStart;
        if (!IsNoHandle(object)) object->operation |= kIoInitialStart;
        if (!Register(this, object, error)) {
            for (uint32_t j = 0; j < i; ++j) Unregister(objects[j]);
            Teardown();
            return false;
        }
    }
    bool initialPhase = true;
    bool result = true;
    for (;;) {
        if (initialPhase) {
            // Completions from the previous start are delivered before the next start.
            if (readyHead_ != nullptr && (readyHead_->loopState & kLoopCompleted)) {
                IoObject* object = PopReady();
                now_ = platform::MonotonicTicks();
                if (!Dispatch(object, error)) { result = false; break; }
                continue;
            }
            IoObject* initial = readyHead_;
            while (initial != nullptr && (initial->operation & kIoInitialStart) == 0) initial = initial->readyNext;
            if (initial != nullptr) {
                initial->operation &= static_cast<uint8_t>(~(kIoInitialStart | kIoDeferredStart));
                RemoveReady(initial);
                now_ = platform::MonotonicTicks();
                if (!Start(initial, error)) { result = false; break; }
                continue;
            }
            initialPhase = false;
        }
        if (registeredCount_ == 0) break;
        if (readyHead_ != nullptr) {
            IoObject* object = PopReady();
            now_ = platform::MonotonicTicks();
            if (!Dispatch(object, error)) { result = false; break; }
            continue;
        }
        if (!Wait(false, error)) { result = false; break; }
    }
    Teardown();
    return result;
}

void EventLoop::Teardown() {
    port_.Close();
    for (uint32_t b = 1; b < blockCount_; ++b) {
        free(blocks_[b]);
        blocks_[b] = nullptr;
    }
    blockCount_ = 1;
    firstBlock_ = KeyBlock{};
    readyHead_ = readyTail_ = nullptr;
    timerEarliest_ = timerLatest_ = nullptr;
    registeredCount_ = 0;
    running_ = false;
}

}  // namespace kestrel
