// The end of a job: EndJob and its result, the local end that frees the
// record, the abandonment of jobs whose connection fails or whose run ends,
// and the failures that send a job to its end early.
#include <cstdio>

#include "client/connection.h"
#include "client/direct_client.h"
#include "client/requests.h"
#include "client/responses.h"
#include "client/stages.h"
#include "display/console_display.h"
#include "platform/clock.h"
#include "runtime/messages.h"
#include "script/job.h"

namespace kestrel {

namespace {

constexpr char kJobFailedBecause[] = "The job {0} failed: {1}";

void ReportResult(const RemoteJob& job) {
    const bool failed = (job.flags & kRemoteJobFailed) != 0;
    const char* format = failed ? "The job {0} failed" : "The job {0} succeeded";
    if (!IsDisplayMode()) {
        const std::string text = FormatToString(format, {{FormatString, job.job->name}});
        PrintStatusLine(text.c_str());
        return;
    }
    PostMessageText(format, {{FormatString, job.job->name}});
    if (failed) ConsoleDisplay::CountFailed();
    else ConsoleDisplay::CountSucceeded();
}

// What a record holds besides its list place and its ID.
void FreeJobResources(RemoteJob& job) {
    ConsoleDisplay::RemoveRow(job.row);
    job.row = nullptr;
    ReleaseCommandWork(job);
    ReleaseInputTransfer(job);
    ReleaseOutputTransfer(job);
    delete[] job.statusText;
    job.statusText = nullptr;
    Connection& connection = *job.connection;
    if (connection.capacityWaiter == &job) connection.capacityWaiter = nullptr;
}

void OnEndJobResponse(Connection& connection, uint8_t* message, uint32_t length) {
    RemoteJob& job = RequestJob(connection);
    const uint8_t* payload = message + kMessageHeaderSize;
    StatusResponse response;
    if (const char* fault = CheckEndJobResponse(payload, length - kMessageHeaderSize, response)) {
        MarkJobFailed(job);
        return ProtocolFailure(connection, fault, true);
    }
    if (response.status == 0) ReportResult(job);
    else MarkJobFailed(job);
    ConnectionLog& log = connection.log;
    if (!LogResponsePart(log, payload, response) || !log.AppendEndJobFields(job.flags) || !log.Commit())
        return LogWriteFailed(connection);
    connection.client->lastActivityTime = platform::LocalFileTimeNow();
    EndJobLocally(job);
}

}  // namespace

LogJobReference ReferenceOf(const RemoteJob& job) {
    // A job not yet started on the connection is named instead.
    if (job.jobId == kNoJobId || (job.flags & kRemoteJobWaitingToStart) != 0)
        return LogJobReference{kLogNoJobId, job.job->name};
    return LogJobReference{job.jobId, nullptr};
}

void MarkJobFailed(RemoteJob& job) {
    job.flags |= kRemoteJobFailed;
    job.connection->client->resultFlags |= kClientJobFailed;
}

void FailJob(RemoteJob& job, uint32_t code, const char* message) {
    Connection& connection = *job.connection;
    DirectClient& client = *connection.client;
    MarkJobFailed(job);
    SetClientMessage(client, "{0}", {{FormatString, message}});
    if (connection.log.IsOpen() && !connection.log.WriteJobFailure(ReferenceOf(job), code, client.message))
        ReportLogWriteFailure(connection);
    PostMessageText(kJobFailedBecause, {{FormatString, job.job->name}, {FormatString, client.message}});
    EndJobSoon(job);
}

void EndJobSoon(RemoteJob& job) {
    if ((job.flags & kRemoteJobStarted) == 0) return EndJobLocally(job);
    MoveJob(job, Stage::End);
    if ((job.connection->state & kConnectionRequestOutstanding) == 0) SendEndJob(job);
}

void SendEndJob(RemoteJob& job) {
    Connection& connection = *job.connection;
    PayloadWriter writer = BeginPayload(connection.protocol.messageBuffer, (connection.state & kConnectionUtf16) != 0);
    BuildJobRequest(writer, MessageType::EndJob, job.jobId);
    SendJobRequest(job, writer, OnEndJobResponse, {LogFiller::EndJob, 0, nullptr, &job.flags});
}

void EndJobLocally(RemoteJob& job) {
    Connection& connection = *job.connection;
    DirectClient& client = *connection.client;
    UnlinkJob(job);
    FreeJobResources(job);
    --client.activeJobCount;
    ReleaseJobId(connection, job);
    connection.pool.Give(&job);
    if ((client.stateFlags & kClientEnding) != 0 || client.activeJobCount > 0 || client.scheduler.readyHead != nullptr)
        return Dispatch(connection);
    EndRun(client);
}

void AbandonJob(Connection& connection, RemoteJob& job) {
    DirectClient& client = *connection.client;
    const bool started = (job.flags & kRemoteJobStarted) != 0;
    if (started && connection.log.IsOpen()) {
        if (!connection.log.WriteAbandonedEndJob(job.jobId, job.flags)) ReportLogWriteFailure(connection);
        client.lastActivityTime = platform::LocalFileTimeNow();
    }
    UnlinkJob(job);
    FreeJobResources(job);
    --client.activeJobCount;
    if ((connection.state & kConnectionActive) != 0 && started) ReleaseJobId(connection, job);
    connection.pool.Give(&job);
    connection.state |= kConnectionFailed;
    if ((connection.state & kConnectionActive) == 0 && connection.holdsLog) HandOverLog(connection);
    if (RunIsOver(client)) EndRun(client);
}

}  // namespace kestrel
