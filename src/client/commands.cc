// A job's commands, one after the other: each built into an Execute (once
// per combination of its enumerations), followed through Poll until its
// process has ended and both of its streams are closed, and judged by its
// command block's failure mode.
#include <cstdio>
#include <new>

#include "client/connection.h"
#include "client/direct_client.h"
#include "client/execute_builder.h"
#include "client/requests.h"
#include "client/responses.h"
#include "client/stages.h"
#include "display/console_display.h"
#include "runtime/error_codes.h"
#include "script/command_list.h"
#include "script/job.h"

namespace kestrel {

namespace {

constexpr char kInvalidPathArgument[] = "A command argument expands to an invalid path";
constexpr char kNoMemoryForCommand[] = "Insufficient memory to execute command";
constexpr char kLongCommandLine[] =
    "***************** long command lines not implemented ********************\n";
constexpr uint32_t kEndedBits = kRemoteJobStdoutEnded | kRemoteJobStderrEnded;

bool FailureMode(const RemoteJob& job, uint32_t mode) { return (job.commandFlags & mode) != 0; }
bool LastOfBlock(const RemoteJob& job) { return (job.commandFlags & kCommandLastOfBlock) != 0; }

// A failed command: by its block's failure mode the job goes on with the
// next command, goes on marked failed, or stops its commands.
void JudgeFailure(RemoteJob& job) {
    if (FailureMode(job, kCommandIgnoreError)) return MoveJob(job, Stage::CommandEnded);
    MarkJobFailed(job);
    if (FailureMode(job, kCommandCompleteWithError) && !LastOfBlock(job)) return MoveJob(job, Stage::CommandEnded);
    MoveJob(job, Stage::OutputStart);
}

void OnExecuteResponse(Connection& connection, uint8_t* message, uint32_t length) {
    RemoteJob& job = RequestJob(connection);
    StatusResponse response;
    if (!TakeStatusResponse(connection, message, length, CheckExecuteResponse, response)) return;
    if ((job.commandFlags & kCommandEnumerates) == 0) job.commandFlags |= kCommandDone;
    if (response.status != 0) JudgeFailure(job);
    Dispatch(connection);
}

// The command's first argument as the script writes it, for the job's row.
void ShowCommand(RemoteJob& job) {
    const Command& command = *job.command;
    const char* shown = "";
    if (command.parts != command.partsEnd) {
        const ArgumentPart& first = *command.parts;
        shown = first.literal != nullptr && first.literal[0] != '\0' ? first.literal
                : first.reference != nullptr                          ? first.reference
                                                                      : "";
    }
    ConsoleDisplay::SetStatus(job.row, shown, true);
}

enum class Sent { Request, Skipped, Left };

// Writes and sends the Execute of the current combination.
Sent SendExecute(RemoteJob& job) {
    Connection& connection = *job.connection;
    PayloadWriter writer = BeginPayload(connection.protocol.messageBuffer, (connection.state & kConnectionUtf16) != 0);
    const MachineSeparator& separator = connection.separator;
    switch (WriteExecute(*job.work, *job.job, job.jobId, separator.utf8, separator.utf8Length, writer)) {
    case CommandBuild::Ready:
        break;
    case CommandBuild::Skip:
        job.commandFlags |= kCommandDone;
        MoveJob(job, Stage::CommandEnded);
        return Sent::Skipped;
    case CommandBuild::InvalidPath:
        UnlinkJob(job);
        FailJob(job, kErrorNotEnoughMemory, kInvalidPathArgument);
        return Sent::Left;
    case CommandBuild::NoMemory:
        UnlinkJob(job);
        FailJob(job, kErrorNotEnoughMemory, kNoMemoryForCommand);
        return Sent::Left;
    case CommandBuild::TooLong:
        std::fputs(kLongCommandLine, stderr);
        ConnectionFailure(connection, kConnectionTimedOut, 0);
        return Sent::Left;
    }
    // The log's record marks environment strings, not the payload's parts.
    ConnectionLog& log = connection.log;
    uint8_t headBuffer[kExecuteLogHeadBuffer];
    const PayloadWriter head = WriteExecuteLogHead(*job.work, job.jobId, writer.utf16, headBuffer);
    const uint32_t strings = job.work->stringsOffset;
    if (!log.BeginRecord(head.payload, head.length) ||
        !log.Append(writer.payload + strings, writer.length - strings) || !log.AppendEmptyText()) {
        LogWriteFailed(connection);
        return Sent::Left;
    }
    ShowCommand(job);
    MoveJob(job, Stage::Running);
    job.flags &= ~(kRemoteJobReturnedZero | kRemoteJobEndedOtherwise | kEndedBits);
    job.connection->requestJob = &job;
    job.connection->state |= kConnectionJobRequest;
    SendRequest(connection, writer.length, OnExecuteResponse, {LogFiller::Status});
    return Sent::Request;
}

// Binds the current command's parts and sends its first Execute.
Sent BeginAndSend(RemoteJob& job) {
    job.commandFlags = job.command->flags;
    if (job.work == nullptr) job.work = new (std::nothrow) CommandWork;
    const CommandBuild begun = job.work == nullptr ? CommandBuild::NoMemory
                                                   : BeginCommand(*job.work, *job.job, *job.command);
    if (begun == CommandBuild::Skip) {
        job.commandFlags |= kCommandDone;
        MoveJob(job, Stage::CommandEnded);
        return Sent::Skipped;
    }
    if (begun == CommandBuild::NoMemory) {
        UnlinkJob(job);
        FailJob(job, kErrorNotEnoughMemory, kNoMemoryForCommand);
        return Sent::Left;
    }
    return SendExecute(job);
}

}  // namespace

void SendFirstCommand(RemoteJob& job) {
    const CommandList& commands = job.job->commands;
    if (commands.count() == 0) {
        MoveJob(job, Stage::OutputStart);
        return StartOutput(job);
    }
    job.commandIndex = 0;
    job.command = &commands.commands[0];
    if (BeginAndSend(job) == Sent::Skipped) SendNextCommand(job);
}

void SendNextCommand(RemoteJob& job) {
    const CommandList& commands = job.job->commands;
    for (;;) {
        if ((job.commandFlags & kCommandDone) != 0) {
            if ((job.flags & kRemoteJobFailed) != 0 && LastOfBlock(job)) return MoveJob(job, Stage::OutputStart);
            if (++job.commandIndex >= commands.count()) return MoveJob(job, Stage::OutputStart);
            job.command = &commands.commands[job.commandIndex];
            if (BeginAndSend(job) != Sent::Skipped) return;
            continue;
        }
        if (!NextCombination(*job.work)) {
            job.commandFlags |= kCommandDone;
            continue;
        }
        if (SendExecute(job) != Sent::Skipped) return;
    }
}

void CommandProgress(RemoteJob& job) {
    if ((job.flags & kEndedBits) != kEndedBits) return;
    if ((job.flags & kRemoteJobReturnedZero) != 0) {
        job.flags &= ~(kRemoteJobReturnedZero | kEndedBits);
        return MoveJob(job, Stage::CommandEnded);
    }
    if ((job.flags & kRemoteJobEndedOtherwise) != 0) {
        job.flags &= ~(kRemoteJobEndedOtherwise | kEndedBits);
        CommandFailed(job);
    }
}

void CommandFailed(RemoteJob& job) { JudgeFailure(job); }

void ReleaseCommandWork(RemoteJob& job) {
    if (job.work == nullptr) return;
    ReleaseCommandWork(*job.work);
    delete job.work;
    job.work = nullptr;
}

}  // namespace kestrel
