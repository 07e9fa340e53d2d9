#include <atomic>
#include <chrono>

#include "platform/anonymous_pipe.h"
#include "prep/preparation.h"
#include "prep/preparation_steps.h"
#include "runtime/messages.h"
#include "script/objects.h"

namespace kestrel {

namespace {

// Used by no connection: reaching it ends the thread.
PreparationRequest gStopRequest;

// Answers one request; false when the thread must end.
bool Prepare(PreparationQueue& queue, PreparationRequest& request) {
    if (&request == &gStopRequest) return false;
    switch (request.firstHop->protocol) {
        case HopProtocol::Direct:
            if (const char* host = preparation::CheckedHostName(queue, request))
                preparation::ConnectDirect(queue, request, host);
            return true;
        case HopProtocol::Tunnel:
            if (const char* host = preparation::CheckedHostName(queue, request))
                return preparation::ConnectThroughSsh(queue, request, host);
            return true;
        case HopProtocol::Agent:
            PreparationThread::Respond(queue, request, kPreparationAgentFirst, 0);
            return true;
    }
    return true;  // any other kind gets no answer
}

PreparationRequest* TakeBatch(PreparationQueue& queue) {
    std::unique_lock<std::mutex> hold(queue.lock);
    queue.wakeUp.wait(hold, [&queue] { return queue.signalled; });
    PreparationRequest* batch = queue.head;
    queue.head = nullptr;
    queue.signalled = false;
    return batch;
}

// Most recent submission first.
bool AnswerBatch(PreparationQueue& queue, PreparationRequest* batch) {
    while (batch != nullptr) {
        // Read before answering: once answered, the request may be submitted again.
        PreparationRequest* next = batch->next;
        if (!Prepare(queue, *batch)) return false;
        batch = next;
    }
    return true;
}

void ThreadRoutine(void* argument) {
    auto& queue = *static_cast<PreparationQueue*>(argument);
    while (AnswerBatch(queue, TakeBatch(queue))) {
    }
    std::lock_guard<std::mutex> hold(queue.lock);
    queue.threadEnded = true;
    // Notified under the lock: the waiter may destroy the queue once it sees the flag.
    queue.ended.notify_all();
}

void Push(PreparationQueue& queue, PreparationRequest& request) {
    request.next = queue.head;
    queue.head = &request;
    queue.signalled = true;
    queue.wakeUp.notify_one();
}

}  // namespace

namespace PreparationThread {

void Submit(PreparationQueue& queue, PreparationRequest& request) {
    std::lock_guard<std::mutex> hold(queue.lock);
    Push(queue, request);
}

bool Start(PreparationQueue& queue, int32_t& error) {
    {
        std::lock_guard<std::mutex> hold(queue.lock);
        queue.threadEnded = false;
    }
    return platform::StartThread(queue.thread, ThreadRoutine, &queue, error);
}

void RequestStop(PreparationQueue& queue) {
    std::lock_guard<std::mutex> hold(queue.lock);
    if (queue.stopSubmitted) return;
    queue.stopSubmitted = true;
    queue.stopping.store(true);
    Push(queue, gStopRequest);
}

bool Stop(PreparationQueue& queue, uint32_t milliseconds) {
    RequestStop(queue);
    if (queue.thread.running) {
        std::unique_lock<std::mutex> hold(queue.lock);
        if (!queue.ended.wait_for(hold, std::chrono::milliseconds(milliseconds),
                                  [&queue] { return queue.threadEnded; })) {
            hold.unlock();
            platform::DetachThread(queue.thread);
            return false;
        }
        hold.unlock();
        platform::JoinThread(queue.thread);
    }
    platform::CloseFile(queue.pipeWriteEnd);
    return true;
}

void Respond(PreparationQueue& queue, PreparationRequest& request, uint32_t status, uint32_t error) {
    const PreparationResponse response{&request, status, error};
    // The request's fields must be visible before the reader sees the answer.
    std::atomic_thread_fence(std::memory_order_release);
    int32_t failure = 0;
    if (!platform::WritePipeRecord(queue.pipeWriteEnd, &response, sizeof response, failure))
        PostMessageText("Cannot write to response pipe, error {0}", {{FormatI32, &failure}});
}

}  // namespace PreparationThread

}  // namespace kestrel
