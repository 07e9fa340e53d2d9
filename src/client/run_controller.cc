// Machine selection, the dispatcher, and what a failed connection or a failed
// preparation does to the jobs on it.
#include <new>

#include "client/connection.h"
#include "client/direct_client.h"
#include "client/stages.h"
#include "display/console_display.h"
#include "platform/crypto.h"
#include "runtime/messages.h"
#include "script/job.h"
#include "script/objects.h"

namespace kestrel {

namespace {

constexpr char kInsufficientMemoryToRun[] = "Insufficient memory to run job {0}";

void ReleaseConnectionRecord(MachinePath& path) {
    Connection* connection = path.connection;
    path.connection = nullptr;
    path.releaseConnection = nullptr;
    if (connection == nullptr) return;
    if ((connection->state & kConnectionActive) != 0) EventLoop::Unregister(&connection->protocol.socket);
    if (connection->pollTimer.loop != nullptr) EventLoop::Unregister(&connection->pollTimer);
    if (connection->jobIds.entries != nullptr) connection->jobIds.Destroy();
    connection->log.Close();
    PreparationThread::EndSsh(connection->preparation, connection->firstHopUrl);
    FreeMessageBuffer(*connection);
    connection->pool.Release();
    delete connection;
}

// The connection record of a path, made when the path is first used.
Connection* ConnectionOf(DirectClient& client, MachinePath& path) {
    if (path.connection != nullptr) return path.connection;
    auto* connection = new (std::nothrow) Connection;
    if (connection == nullptr) return nullptr;
    connection->machineName = path.machineName;
    connection->pathId = path.index;
    connection->hops = path.hops;
    connection->firstHopUrl = path.hops != nullptr ? path.hops->url : "";
    connection->client = &client;
    connection->path = &path;
    connection->onFailure = OnConnectionFailed;
    connection->preparation.owner = connection;
    connection->preparation.firstHop = path.hops;
    path.connection = connection;
    path.releaseConnection = ReleaseConnectionRecord;
    return connection;
}

void CannotRun(DirectClient& client, const char* format, const Job& job) {
    SetClientMessage(client, format, {{FormatString, job.name}});
    PostMessageText("{0}", {{FormatString, client.message}});
    client.resultFlags |= kClientJobFailed;
}

// A record for the job at the head of the start list, counted as active.
RemoteJob* NewRemoteJob(Connection& connection, Job& job, uint32_t machineIndex) {
    RemoteJob* record = connection.pool.Take();
    if (record == nullptr) return nullptr;
    record->job = &job;
    record->connection = &connection;
    record->machineIndex = machineIndex;
    record->flags = kRemoteJobWaitingToStart;
    record->jobId = kNoJobId;
    MoveJob(*record, Stage::Start);
    record->row = ConsoleDisplay::AddRow(connection.firstHopUrl, job.name);
    ++connection.client->activeJobCount;
    return record;
}

// False only when the path has failed (the job then tries the next path).
bool AttachToPath(DirectClient& client, MachinePath& path, Job& job, uint32_t machineIndex) {
    Connection* connection = ConnectionOf(client, path);
    if (connection == nullptr) {
        CannotRun(client, kInsufficientMemoryToRun, job);
        return true;
    }
    if ((connection->state & kConnectionFailed) != 0) return false;
    if ((connection->state & kConnectionEstablished) != 0) {
        RemoteJob* record = NewRemoteJob(*connection, job, machineIndex);
        if (record == nullptr) {
            CannotRun(client, kInsufficientMemoryToRun, job);
            return true;
        }
        if (GiveJobId(*connection, *record)) CutPollWait(*connection);
        return true;
    }
    bool logFailed = false;
    if (!PrepareConnectionRecord(*connection, job.name, logFailed)) {
        CannotRun(client, logFailed ? kCannotCreateConnectionLog : kInsufficientMemoryToRun, job);
        return true;
    }
    if (NewRemoteJob(*connection, job, machineIndex) == nullptr) {
        CannotRun(client, kInsufficientMemoryToRun, job);
        return true;
    }
    if ((connection->state & (kConnectionPreparing | kConnectionActive)) != 0) return true;
    Prepare(*connection);
    return true;
}

// Tries the paths of one machine from `from`, in turn, until one takes the
// job; when every path has refused, the run has a failed job.
void AttachFromPath(DirectClient& client, Job& job, uint32_t machineIndex, uint32_t from) {
    JobMachine& entry = job.machines[machineIndex];
    MachinePath* paths = entry.machine->first;
    uint32_t current = from;
    for (;;) {
        entry.currentPath = current;
        if (AttachToPath(client, paths[current], job, machineIndex)) return;
        current = (current + 1) % entry.pathCount;
        if (current == entry.firstPath) {
            client.resultFlags |= kClientJobFailed;
            return;
        }
    }
}

// A pass of the dispatcher over one list: each job's step runs until a
// request is outstanding. False when the pass must stop.
using StageStep = void (*)(RemoteJob& job);

bool StopPass(const Connection& connection) {
    return (connection.state & (kConnectionRequestOutstanding | kConnectionFailed)) != 0 ||
           (connection.state & kConnectionActive) == 0 || connection.redispatch;
}

bool RunStage(Connection& connection, Stage stage, StageStep step) {
    RemoteJob* job = StageList(connection, stage).head;
    while (job != nullptr) {
        RemoteJob* next = job->next;
        step(*job);
        if (StopPass(connection)) return false;
        job = next;
    }
    return true;
}


bool RunStartStage(Connection& connection) {
    if (connection.capacityWaiter != nullptr) return true;
    RemoteJob* job = StageList(connection, Stage::Start).head;
    while (job != nullptr) {
        RemoteJob* next = job->next;
        if ((connection.state & kConnectionAllIdsInUse) != 0 || job->jobId == kNoJobId) {
            connection.state &= ~kConnectionAllIdsInUse;
            if (job->jobId == kNoJobId && !GiveJobId(connection, *job)) return false;
            if ((connection.state & kConnectionAllIdsInUse) != 0 || job->jobId == kNoJobId) return true;
        }
        SendStartJob(*job);
        if (StopPass(connection)) return false;
        job = next;
    }
    return true;
}

// Walks the stage lists in the dispatcher's order; true when nothing was sent.
bool DispatchPass(Connection& connection) {
    return RunStage(connection, Stage::Execute, SendFirstCommand) &&
           RunStage(connection, Stage::CommandEnded, SendNextCommand) && RunStartStage(connection) &&
           RunStage(connection, Stage::Input, StartInputTransfer) &&
           RunStage(connection, Stage::InputTransfer, ContinueInputTransfer) &&
           RunStage(connection, Stage::OutputStart, StartOutput) &&
           RunStage(connection, Stage::Output, ContinueOutput) &&
           RunStage(connection, Stage::DevelopmentEnvironment, SendDevelopmentEnvironment) &&
           RunStage(connection, Stage::Environment, ChooseEnvironmentPhase) &&
           RunStage(connection, Stage::EnvironmentEdits, SendEnvironmentEdit) &&
           RunStage(connection, Stage::StepStart, SendStepStart) && RunStage(connection, Stage::End, SendEndJob);
}

}  // namespace

void AttachJob(DirectClient& client, Job& job) {
    for (uint32_t m = 0; m < job.machineCount(); ++m) {
        JobMachine& entry = job.machines[m];
        const uint32_t n = entry.machine->pathCount();
        entry.pathCount = n;
        entry.firstPath = n <= 1 ? 0 : platform::RandomU32() % n;
        AttachFromPath(client, job, m, entry.firstPath);
    }
}

void AttachReleasedJobs(DirectClient& client) {
    while (Job* job = client.scheduler.TakeReadyJob()) AttachJob(client, *job);
}

bool RunIsOver(const DirectClient& client) {
    return (client.stateFlags & kClientEnding) == 0 && client.activeJobCount == 0 &&
           client.scheduler.readyHead == nullptr;
}

void Dispatch(Connection& connection) {
    DirectClient& client = *connection.client;
    if ((client.stateFlags & kClientEnding) != 0 || IsAbortRequested(client)) return EndRun(client);
    AttachReleasedJobs(client);
    // A step that ends a job may ask for a pass of its own: the running pass
    // starts over instead, so that no list is walked by two passes at once.
    if (connection.dispatching) {
        connection.redispatch = true;
        return;
    }
    connection.dispatching = true;
    bool idle = false;
    do {
        connection.redispatch = false;
        if ((connection.state & kConnectionRequestOutstanding) != 0 || (connection.state & kConnectionActive) == 0 ||
            (connection.state & kConnectionFailed) != 0)
            break;
        idle = DispatchPass(connection);
    } while (connection.redispatch);
    connection.dispatching = false;
    if (idle && (connection.state & (kConnectionRequestOutstanding | kConnectionFailed)) == 0 &&
        (connection.state & kConnectionActive) != 0 && !OnlyInputTransfers(connection))
        SendPoll(connection);
}

void FailOverWaitingJobs(Connection& connection) {
    DirectClient& client = *connection.client;
    for (RemoteJob* job = StageList(connection, Stage::Start).head; job != nullptr; job = job->next) {
        JobMachine& entry = job->job->machines[job->machineIndex];
        const uint32_t next = (entry.currentPath + 1) % entry.pathCount;
        if (next == entry.firstPath) {
            client.resultFlags |= kClientJobFailed;
            continue;
        }
        AttachFromPath(client, *job->job, job->machineIndex, next);
    }
    // The records here failed, not the jobs: those run on their next paths.
    AbandonAllJobs(connection, JobFailure::RecordOnly);
}

void OnConnectionFailed(Connection& connection) {
    AbandonAllJobs(connection, JobFailure::Run);
    CloseConnection(connection);
    DirectClient& client = *connection.client;
    if (RunIsOver(client)) EndRun(client);
}

void AbandonAllJobs(Connection& connection, JobFailure failure) {
    connection.capacityWaiter = nullptr;
    for (uint32_t s = 0; s < kStageCount; ++s) {
        JobList& list = connection.stages[s];
        while (RemoteJob* job = list.head) {
            if (job->stage == Stage::Start) job->flags &= ~kRemoteJobWaitingToStart;
            if (failure == JobFailure::Run) MarkJobFailed(*job);
            else if (failure == JobFailure::RecordOnly) job->flags |= kRemoteJobFailed;
            AbandonJob(connection, *job);
        }
    }
}

}  // namespace kestrel
