// A job's set-up on its machine: StartJob, the development environment and
// the environment edits (every replacement, then every prefix, then every
// suffix).
#include <cstring>

#include "client/connection.h"
#include "client/direct_client.h"
#include "client/requests.h"
#include "client/responses.h"
#include "client/stages.h"
#include "script/data_block.h"
#include "script/job.h"

namespace kestrel {

namespace {

const uint8_t* Payload(uint8_t* message) { return message + kMessageHeaderSize; }
uint32_t PayloadLength(uint32_t length) { return length - kMessageHeaderSize; }

PayloadWriter JobPayload(RemoteJob& job) {
    Connection& connection = *job.connection;
    return BeginPayload(connection.protocol.messageBuffer, (connection.state & kConnectionUtf16) != 0);
}

bool LogResponse(Connection& connection, const uint8_t* payload, const StatusResponse& response) {
    return LogResponsePart(connection.log, payload, response);
}

// ---- StartJob ----------------------------------------------------------------

void OnStartJobResponse(Connection& connection, uint8_t* message, uint32_t length) {
    RemoteJob& job = RequestJob(connection);
    const uint8_t* payload = Payload(message);
    StatusResponse response;
    if (const char* fault = CheckStartJobResponse(payload, PayloadLength(length), response)) {
        if (PayloadLength(length) >= 4 && response.status > 8) MarkJobFailed(job);
        return ProtocolFailure(connection, fault, true);
    }
    ConnectionLog& log = connection.log;
    if (!LogResponse(connection, payload, response) || !log.AppendStartJobFields(job.job->name) || !log.Commit())
        return LogWriteFailed(connection);
    if (response.status == 8) {
        connection.capacityWaiter = &job;
        return Dispatch(connection);
    }
    job.flags &= ~kRemoteJobWaitingToStart;
    if (response.status != 0) {
        MarkJobFailed(job);
        return EndJobLocally(job);
    }
    job.flags |= kRemoteJobStarted;
    if (job.job->developmentEnvironment != nullptr) {
        MoveJob(job, Stage::DevelopmentEnvironment);
        return SendDevelopmentEnvironment(job);
    }
    MoveJob(job, Stage::Environment);
    ChooseEnvironmentPhase(job);
}

// ---- SetDevelopmentEnvironment -------------------------------------------------

void OnDevelopmentEnvironmentResponse(Connection& connection, uint8_t* message, uint32_t length) {
    RemoteJob& job = RequestJob(connection);
    const uint8_t* payload = Payload(message);
    StatusResponse response;
    if (const char* fault = CheckDevelopmentEnvironmentResponse(payload, PayloadLength(length), response)) {
        if (PayloadLength(length) >= 4) MarkJobFailed(job);
        return ProtocolFailure(connection, fault, true);
    }
    if (!LogResponse(connection, payload, response) || !connection.log.Commit()) return LogWriteFailed(connection);
    if (response.status != 0) {
        MarkJobFailed(job);
        return EndJobSoon(job);
    }
    MoveJob(job, Stage::Environment);
    ChooseEnvironmentPhase(job);
}

// ---- Environment edits ---------------------------------------------------------

struct EditKind {
    uint32_t phase;
    MessageType type;
    DataBlock Job::*block;
    const char* invalidJob;
    const char* noMemory;
    const char* corruptRequest;
    const char* wrongTime;
};

// In the order the machine receives them.
constexpr EditKind kEditKinds[] = {
    {kRemoteJobReplacePhase, MessageType::ReplaceEnvironment, &Job::environmentReplace,
     "The replace environment request specified an invalid job",
     "Insufficient memory on the machine to replace an environment variable",
     "The replace environment request was corrupt", "The replace environment request was made at an invalid time"},
    {kRemoteJobPrefixPhase, MessageType::PrefixEnvironment, &Job::environmentPrefix,
     "The prefix environment request specified an invalid job",
     "Insufficient memory on the machine to prefix an environment variable",
     "The prefix environment request was corrupt", "The prefix environment request was made at an invalid time"},
    {kRemoteJobSuffixPhase, MessageType::SuffixEnvironment, &Job::environmentSuffix,
     "The suffix environment request specified an invalid job",
     "Insufficient memory on the machine to suffix an environment variable",
     "The suffix environment request was corrupt", "The suffix environment request was made at an invalid time"},
};
constexpr uint32_t kEditPhases = kRemoteJobReplacePhase | kRemoteJobPrefixPhase | kRemoteJobSuffixPhase;

const EditKind* CurrentEdit(const RemoteJob& job) {
    for (const EditKind& kind : kEditKinds)
        if ((job.flags & kind.phase) != 0) return &kind;
    return nullptr;
}

// The variables of an environment block, in the order the script declared
// them: the same script sends the same edits in the same order everywhere.
struct Variable {
    const char* name = nullptr;
    const ValueList* values = nullptr;
};

bool VariableAt(const DataBlock& block, uint32_t index, Variable& variable) {
    if (index >= block.declaredCount) return false;
    variable.name = block.declared[index].name;
    variable.values = static_cast<const ValueList*>(block.declared[index].member);
    return true;
}

bool HasVariables(const Job& job, const EditKind& kind) {
    Variable first;
    return VariableAt(job.*kind.block, 0, first);
}

// The next phase with variables after `from` (or the first when null).
const EditKind* NextPhase(const Job& job, const EditKind* from) {
    const EditKind* kind = from == nullptr ? kEditKinds : from + 1;
    for (; kind != std::end(kEditKinds); ++kind)
        if (HasVariables(job, *kind)) return kind;
    return nullptr;
}

void EnterPhase(RemoteJob& job, const EditKind* kind) {
    job.flags &= ~kEditPhases;
    job.environmentVariable = 0;
    job.environmentValue = nullptr;
    if (kind != nullptr) job.flags |= kind->phase;
}

const char* LastValue(const ValueList& values) {
    const char* last = nullptr;
    for (const char* v = values.start; v < values.end; v += std::strlen(v) + 1) last = v;
    return last;
}

// The name and value of the next edit of the current phase, moving the
// cursor past it; false when the phase has nothing left.
bool NextEdit(RemoteJob& job, const EditKind& kind, Variable& variable, const char*& value) {
    const DataBlock& block = (*job.job).*kind.block;
    while (VariableAt(block, job.environmentVariable, variable)) {
        const ValueList& values = *variable.values;
        if (kind.type == MessageType::ReplaceEnvironment) {
            ++job.environmentVariable;
            value = LastValue(values);
            if (value != nullptr) return true;
            continue;
        }
        value = job.environmentValue != nullptr ? job.environmentValue : values.start;
        if (value >= values.end) {
            ++job.environmentVariable;
            job.environmentValue = nullptr;
            continue;
        }
        job.environmentValue = value + std::strlen(value) + 1;
        if (job.environmentValue >= values.end) {
            ++job.environmentVariable;
            job.environmentValue = nullptr;
        }
        return true;
    }
    return false;
}

void OnEnvironmentResponse(Connection& connection, uint8_t* message, uint32_t length) {
    RemoteJob& job = RequestJob(connection);
    const EditKind& kind = *CurrentEdit(job);
    const uint8_t* payload = Payload(message);
    StatusResponse response;
    if (const char* fault = CheckEnvironmentResponse(kind.type, payload, PayloadLength(length), response)) {
        if (PayloadLength(length) == 4) MarkJobFailed(job);
        return ProtocolFailure(connection, fault, true);
    }
    if (!LogResponse(connection, payload, response) || !connection.log.Commit()) return LogWriteFailed(connection);
    switch (response.status) {
    case 0:
        return Dispatch(connection);
    case 2:
        MarkJobFailed(job);
        UnlinkJob(job);
        return FailJob(job, 0, kind.noMemory);
    default:
        MarkJobFailed(job);
        return ProtocolFailureText(connection,
                                   response.status == 1 ? kind.invalidJob
                                   : response.status == 3 ? kind.corruptRequest
                                                          : kind.wrongTime,
                                   false);
    }
}

void EnvironmentComplete(RemoteJob& job) {
    EnterPhase(job, nullptr);
    MoveJob(job, Stage::Input);
    StartInputTransfer(job);
}

}  // namespace

void SendStartJob(RemoteJob& job) {
    PayloadWriter writer = JobPayload(job);
    BuildStartJob(writer, job.jobId, job.job->concurrencyFactor);
    SendJobRequest(job, writer, OnStartJobResponse, {LogFiller::StartJob, 0, job.job->name, nullptr});
}

void SendDevelopmentEnvironment(RemoteJob& job) {
    const Job& script = *job.job;
    if (script.developmentEnvironment == nullptr) {
        MoveJob(job, Stage::Environment);
        return ChooseEnvironmentPhase(job);
    }
    PayloadWriter writer = JobPayload(job);
    if (!BuildSetDevelopmentEnvironment(writer, job.jobId,
                                        reinterpret_cast<const uint8_t*>(script.developmentEnvironment),
                                        script.developmentEnvironmentSize)) {
        UnlinkJob(job);
        return FailJob(job, 0, "The development environment name does not fit in a request");
    }
    SendJobRequest(job, writer, OnDevelopmentEnvironmentResponse, {LogFiller::Status});
}

void ChooseEnvironmentPhase(RemoteJob& job) {
    const EditKind* first = NextPhase(*job.job, nullptr);
    if (first == nullptr) return EnvironmentComplete(job);
    EnterPhase(job, first);
    MoveJob(job, Stage::EnvironmentEdits);
    SendEnvironmentEdit(job);
}

void SendEnvironmentEdit(RemoteJob& job) {
    const EditKind* kind = CurrentEdit(job);
    Variable variable;
    const char* value = nullptr;
    while (kind != nullptr && !NextEdit(job, *kind, variable, value)) {
        kind = NextPhase(*job.job, kind);
        EnterPhase(job, kind);
    }
    if (kind == nullptr) return EnvironmentComplete(job);
    PayloadWriter writer = JobPayload(job);
    const TextAppend built =
        BuildEnvironmentEdit(writer, kind->type, job.jobId, variable.name, static_cast<uint32_t>(std::strlen(variable.name)),
                             value, static_cast<uint32_t>(std::strlen(value)));
    if (built != TextAppend::Done) {
        UnlinkJob(job);
        return FailJob(job, 0, "An environment variable does not fit in a request");
    }
    SendJobRequest(job, writer, OnEnvironmentResponse, {LogFiller::Status});
}

}  // namespace kestrel
