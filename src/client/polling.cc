// Poll: what the connection sends when nothing else is due. Its events
// report the running commands' output and ends and the machine's free
// capacity; while nothing changes the connection waits longer each time,
// up to 10 seconds.
#include "client/connection.h"
#include "client/direct_client.h"
#include "client/requests.h"
#include "client/responses.h"
#include "client/stages.h"
#include "display/console_display.h"
#include "logs/job_key.h"
#include "script/job.h"

namespace kestrel {

namespace {

// The waits, in 100-ns units: 1 ms, 10 ms, 100 ms, 1 s, 2 s, 3 s, 5 s, then 10 s.
constexpr uint64_t kPollDelays[] = {10000, 100000, 1000000, 10000000, 20000000, 30000000, 50000000, 100000000};
constexpr uint32_t kPollDelayCount = sizeof kPollDelays / sizeof kPollDelays[0];
constexpr uint32_t kCapacityBlock = 256;

uint64_t NextPollDelay(uint64_t current) {
    for (uint32_t i = 0; i < kPollDelayCount; ++i)
        if (kPollDelays[i] > current) return kPollDelays[i];
    return kPollDelays[kPollDelayCount - 1];
}

RemoteJob* JobWithId(Connection& connection, uint8_t jobId) {
    char key[3];
    MakeJobKey(jobId, key);
    return static_cast<RemoteJob*>(connection.jobIds.Find(key));
}

RemoteJob* RunningJob(Connection& connection, uint8_t jobId) {
    RemoteJob* job = JobWithId(connection, jobId);
    return job != nullptr && job->stage == Stage::Running ? job : nullptr;
}

bool IsRunning(void* context, uint8_t jobId) { return RunningJob(*static_cast<Connection*>(context), jobId) != nullptr; }

// The capacity a waiting job needs, in units of 1/256 of the machine.
uint32_t CapacityNeed(const RemoteJob& job) {
    const uint8_t factor = job.job->concurrencyFactor;
    return factor == 0 ? kCapacityBlock : factor;
}

// True when the event asks to poll again after the delay.
bool OnCapacity(Connection& connection, const PollEvent& event, uint32_t payloadLength) {
    RemoteJob* waiter = connection.capacityWaiter;
    if (waiter == nullptr) return false;
    const uint32_t capacity = event.code == kPollCapacityBlocks ? event.capacity * kCapacityBlock : event.capacity;
    if (capacity >= CapacityNeed(*waiter)) {
        // The refused job is the next one to be started again.
        connection.capacityWaiter = nullptr;
        MoveJob(*waiter, Stage::Start);
        return false;
    }
    return payloadLength == 2;
}

// True when the event asks to poll again after the delay.
bool OnPollEvent(Connection& connection, const PollEvent& event, uint32_t payloadLength) {
    switch (event.code) {
    case kPollStillRunning:
        return true;
    case kPollCapacityUnits:
    case kPollCapacityBlocks:
        return OnCapacity(connection, event, payloadLength);
    default:
        break;
    }
    RemoteJob* job = RunningJob(connection, event.jobId);
    if (job == nullptr) return false;
    switch (event.code) {
    case kPollStdoutEnd:
        job->flags |= kRemoteJobStdoutEnded;
        CommandProgress(*job);
        break;
    case kPollStderrEnd:
        job->flags |= kRemoteJobStderrEnded;
        CommandProgress(*job);
        break;
    case kPollReturned:
        job->flags |= event.value == 0 ? kRemoteJobReturnedZero : kRemoteJobEndedOtherwise;
        ConsoleDisplay::SetStatus(job->row, "Idle", true);
        CommandProgress(*job);
        break;
    case kPollSignalled:
        // Like a return: the command ends once both of its streams have too.
        job->flags |= kRemoteJobEndedOtherwise;
        CommandProgress(*job);
        break;
    case kPollStartFailed:
        // A process that never started has no streams to wait for.
        job->flags |= kRemoteJobEndedOtherwise | kRemoteJobStdoutEnded | kRemoteJobStderrEnded;
        CommandProgress(*job);
        break;
    case kPollClockError:
    case kPollChildCommError:
    case kPollChildRequestError:
    case kPollTerminateFailed:
    case kPollStatusCheckFailed:
        CommandFailed(*job);
        break;
    default:
        break;  // output and throttling: kept in the log for the build log
    }
    return false;
}

void WaitAndPoll(Connection& connection) {
    connection.pollDelay = NextPollDelay(connection.pollDelay);
    connection.state |= kConnectionRequestOutstanding;
    connection.pollWaiting = true;
    IoObject& timer = connection.pollTimer;
    timer.timeout = connection.pollDelay;
    int32_t error = 0;
    if (!EventLoop::Start(&timer, &error)) {
        connection.pollWaiting = false;
        ConnectionFailure(connection, kRequestFailed, error);
    }
}

void OnPollResponse(Connection& connection, uint8_t* message, uint32_t length) {
    const uint8_t* payload = message + kMessageHeaderSize;
    const uint32_t payloadLength = length - kMessageHeaderSize;
    if (const char* fault = CheckPollResponse(payload, payloadLength, IsRunning, &connection))
        return ProtocolFailure(connection, fault, true);
    bool wait = false;
    uint32_t offset = 0;
    PollEvent event;
    while (offset < payloadLength && NextPollEvent(payload, payloadLength, offset, event)) {
        if (OnPollEvent(connection, event, payloadLength)) wait = true;
        if ((connection.state & kConnectionFailed) != 0) return;
    }
    ConnectionLog& log = connection.log;
    if (!log.Append(payload, payloadLength) || !log.AppendU8(kLogPollEnd) || !log.Commit())
        return LogWriteFailed(connection);
    if (wait) return WaitAndPoll(connection);
    connection.pollDelay = 0;
    Dispatch(connection);
}

}  // namespace

void SendPoll(Connection& connection) {
    PayloadWriter writer = BeginPayload(connection.protocol.messageBuffer, false);
    BuildBareRequest(writer, MessageType::Poll);
    if (!connection.log.BeginRecord(writer.payload, writer.length)) return LogWriteFailed(connection);
    SendRequest(connection, writer.length, OnPollResponse, {LogFiller::Poll});
}

void ResetPollDelay(Connection& connection) { connection.pollDelay = 0; }

void CutPollWait(Connection& connection) {
    if (!connection.pollWaiting) return;
    // The timer fires at once: the new job need not wait out the back-off.
    IoObject& timer = connection.pollTimer;
    timer.timeout = 1;
    int32_t error = 0;
    if (!EventLoop::Start(&timer, &error)) {
        connection.pollWaiting = false;
        ConnectionFailure(connection, kRequestFailed, error);
    }
}

}  // namespace kestrel
