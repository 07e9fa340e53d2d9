// The input transfer: the job's input files go to the machine as one paxgz
// archive, compressed while it is sent, one InputWrite piece at a time; each
// piece is acknowledged before the writer produces the next. Then StepStart.
#include "client/input_transfer.h"

#include <new>

#include "client/connection.h"
#include "client/direct_client.h"
#include "client/requests.h"
#include "client/responses.h"
#include "client/stages.h"
#include "display/console_display.h"
#include "runtime/error_codes.h"
#include "runtime/messages.h"
#include "script/job.h"

namespace kestrel {

namespace {

constexpr char kInputProgress[] = "Input transfer {0}K";
constexpr char kArchiveFailed[] = "Failed to create the input archive for job {0}, {1}";
constexpr char kInputFileFailed[] = "The job {0} failed when it could not process {1}, {2}";

bool RequestOutstanding(const Connection& connection) {
    return (connection.state & kConnectionRequestOutstanding) != 0;
}

void ShowProgress(RemoteJob& job, bool stampTime) {
    const uint64_t kib = job.transferredBytes / 1024;
    FormatText(job.statusText, kStatusTextSize, kInputProgress, {{FormatU64, &kib}});
    ConsoleDisplay::SetStatus(job.row, job.statusText, stampTime);
}

// ---- The transfer record -----------------------------------------------------

void DestroyTransfer(InputTransfer* transfer) {
    transfer->writer.Close();
    EndInputEntries(*transfer);
    // The last response may have been read into this buffer.
    ConnectionProtocol& protocol = transfer->connection->protocol;
    if (protocol.buffer == transfer->message) protocol.buffer = protocol.messageBuffer;
    delete transfer;
}

// After a call into the writer: a transfer released meanwhile is freed now
// that the writer's code is off the stack. True when it was.
bool FreedAfterWriter(InputTransfer* transfer) {
    transfer->insideWriter = false;
    if (!transfer->released) return false;
    DestroyTransfer(transfer);
    return true;
}

// ---- Pieces ----------------------------------------------------------------

void OnInputWriteResponse(Connection& connection, uint8_t* message, uint32_t length);

// Sends the piece waiting in the output area.
void SendPiece(InputTransfer& transfer) {
    RemoteJob& job = *transfer.job;
    Connection& connection = *job.connection;
    const uint32_t count = transfer.pieceLength;
    BeginInputWrite(transfer.message, job.jobId);
    job.transferredBytes += count;
    // The record begins only when the response arrives.
    connection.requestJob = &job;
    connection.state |= kConnectionJobRequest;
    SendRequestFrom(connection, transfer.message, count + 2, OnInputWriteResponse,
                    {LogFiller::InputWrite, job.jobId, nullptr, nullptr});
}

// The writer's destination: a full output area, or the last, shorter piece.
PaxgzWriteResult SendInputPiece(void* context, const uint8_t*, uint32_t count, int32_t& error) {
    auto& transfer = *static_cast<InputTransfer*>(context);
    RemoteJob& job = *transfer.job;
    Connection& connection = *job.connection;
    transfer.pieceLength = count;
    transfer.awaitingResume = true;
    job.flags = (job.flags & ~kRemoteJobInputMayProduce) | kRemoteJobInputPieceReady;
    if (RequestOutstanding(connection)) {
        // The piece waits for the dispatcher; a poll back-off need not hold it.
        CutPollWait(connection);
        return PaxgzWriteResult::kPending;
    }
    const bool outer = transfer.insideWriter;
    transfer.insideWriter = true;
    SendPiece(transfer);
    transfer.insideWriter = outer;
    if (!transfer.released) return PaxgzWriteResult::kPending;
    // The connection failed at once and let the job go.
    error = 0;
    return PaxgzWriteResult::kFailed;
}

// ---- Failures --------------------------------------------------------------

void ReleaseTransfer(RemoteJob& job) {
    InputTransfer* transfer = job.input;
    job.input = nullptr;
    job.flags &= ~(kRemoteJobInputMayProduce | kRemoteJobInputPieceReady);
    if (transfer == nullptr) return;
    if (transfer->insideWriter) {
        transfer->released = true;
        transfer->job = nullptr;
        return;
    }
    DestroyTransfer(transfer);
}

// The first entry could not be made: the job fails before the writer starts.
void FirstEntryFailed(RemoteJob& job, InputEntryResult result, int32_t code) {
    InputTransfer& transfer = *job.input;
    Connection& connection = *job.connection;
    DirectClient& client = *connection.client;
    if (result != InputEntryResult::OpenFailed) {
        const char* message = transfer.sourceMessage != nullptr ? transfer.sourceMessage : kInputNoMemory;
        ReleaseTransfer(job);
        return FailJob(job, static_cast<uint32_t>(code), message);
    }
    MarkJobFailed(job);
    SetClientMessage(client, "{0}", {{FormatString, transfer.sourceMessage}});
    const char* path = transfer.currentFile.bytes != nullptr ? transfer.currentFile.bytes : "";
    if (connection.log.IsOpen() &&
        !connection.log.WriteJobFileFailure(ReferenceOf(job), static_cast<uint32_t>(code), client.message, path))
        ReportLogWriteFailure(connection);
    PostMessageText(kInputFileFailed,
                    {{FormatString, job.job->name}, {FormatString, path}, {FormatString, client.message}});
    ReleaseTransfer(job);
    EndJobSoon(job);
}

// Any failure the writer reports.
void InputArchiveFailed(InputTransfer& transfer) {
    RemoteJob& job = *transfer.job;
    Connection& connection = *job.connection;
    DirectClient& client = *connection.client;
    UnlinkJob(job);
    const PaxgzWriter& writer = transfer.writer;
    const char* kind = PaxgzWriter::KindDescription(writer.ErrorKind());
    const char* chain[2] = {writer.Describe(0), writer.Describe(1)};
    const uint32_t chainCount = chain[1] != nullptr ? 2 : 1;
    // The entry source's reason when it failed, else the archive's.
    if (transfer.sourceMessage != nullptr && writer.ErrorKind() == static_cast<uint32_t>(PaxgzWriterError::kFileOpen))
        SetClientMessage(client, "{0}", {{FormatString, transfer.sourceMessage}});
    else
        SetClientMessage(client, kArchiveFailed, {{FormatString, job.job->name}, {FormatString, kind}});
    const char* path = transfer.currentFile.bytes != nullptr ? transfer.currentFile.bytes : "";
    if (connection.log.IsOpen() &&
        !connection.log.WriteInputArchiveFailure(ReferenceOf(job), static_cast<uint32_t>(writer.ErrorCode()), chain,
                                                 chainCount, client.message, path))
        ReportLogWriteFailure(connection);
    PostMessageText(kArchiveFailed, {{FormatString, job.job->name}, {FormatString, kind}});
    ReleaseTransfer(job);
    MarkJobFailed(job);
    EndJobSoon(job);
    Dispatch(connection);
}

// The writer's failure inside an event-loop completion (a file read); the
// writer's last action, so the transfer may go at once.
void OnWriterFailed(void* context) {
    auto* transfer = static_cast<InputTransfer*>(context);
    if (transfer->released) {
        transfer->insideWriter = false;
        return DestroyTransfer(transfer);
    }
    InputArchiveFailed(*transfer);
}

// ---- The end of the archive ------------------------------------------------

void FinishInputTransfer(RemoteJob& job) {
    ReleaseTransfer(job);
    ConsoleDisplay::SetStatus(job.row, "Idle", true);
    MoveJob(job, Stage::StepStart);
    SendStepStart(job);
}

// Resumes the writer after the machine acknowledged its last piece.
void ResumeWriter(RemoteJob& job) {
    InputTransfer* transfer = job.input;
    transfer->awaitingResume = false;
    transfer->insideWriter = true;
    const bool produced = transfer->writer.Resume();
    if (FreedAfterWriter(transfer)) return;
    if (!produced) return InputArchiveFailed(*transfer);
    if (transfer->writer.Finished()) FinishInputTransfer(job);
}

// ---- Responses ---------------------------------------------------------------

void InputWriteRefused(Connection& connection, RemoteJob& job, const uint8_t* payload,
                       const StatusResponse& response) {
    MarkJobFailed(job);
    if (!LogStatusResponse(connection, payload, response)) return;
    ReleaseTransfer(job);
    EndJobSoon(job);
    Dispatch(connection);
}

void OnInputWriteResponse(Connection& connection, uint8_t* message, uint32_t length) {
    RemoteJob& job = RequestJob(connection);
    const uint8_t* payload = message + kMessageHeaderSize;
    const uint32_t payloadLength = length - kMessageHeaderSize;
    StatusResponse response;
    const char* fault = CheckInputWriteResponse(payload, payloadLength, response);
    if (payloadLength < 4) return ProtocolFailure(connection, fault, true);
    const uint8_t head[2] = {static_cast<uint8_t>(MessageType::InputWrite), job.jobId};
    if (!connection.log.Append(head, 2)) return LogWriteFailed(connection);
    job.flags = (job.flags & ~kRemoteJobInputPieceReady) | kRemoteJobInputMayProduce;
    if (fault != nullptr) {
        MarkJobFailed(job);
        return ProtocolFailure(connection, fault, fault != kInputBeingProcessed);
    }
    if (response.status != 0) return InputWriteRefused(connection, job, payload, response);
    if (!LogStatusResponse(connection, payload, response)) return;
    Dispatch(connection);
}

// ---- Starting ----------------------------------------------------------------

bool AllocateTransfer(RemoteJob& job) {
    Connection& connection = *job.connection;
    auto* transfer = new (std::nothrow) InputTransfer;
    if (transfer == nullptr) return false;
    transfer->job = &job;
    transfer->connection = &connection;
    transfer->utf16 = (connection.state & kConnectionUtf16) != 0;
    const MachineSeparator& separator = connection.separator;
    transfer->separatorLength = separator.wireLength;
    for (uint32_t i = 0; i < separator.wireLength; ++i) transfer->separator[i] = separator.wire[i];
    job.input = transfer;
    if (BeginInputEntries(*transfer)) return true;
    ReleaseTransfer(job);
    return false;
}

PaxgzWriterConfig WriterConfig(InputTransfer& transfer, EventLoop* loop) {
    PaxgzWriterConfig config;
    config.loop = loop;
    config.context = &transfer;
    UseInputEntries(config);
    config.write = SendInputPiece;
    config.failed = OnWriterFailed;
    config.staging = transfer.staging;
    config.stagingSize = kInputStagingSize;
    config.output = transfer.message + kInputWriteDataOffset;
    config.outputSize = kMaxInputWritePiece;
    config.encoding = transfer.utf16 ? "UTF-16LE" : "UTF-8";
    config.separator = transfer.separator;
    config.separatorLength = transfer.separatorLength;
    // A large input (a link's objects) would keep one core busy compressing.
    config.parallel.from = kPaxgzParallelFrom;
    return config;
}

void StartWriter(RemoteJob& job) {
    InputTransfer* transfer = job.input;
    Connection& connection = *job.connection;
    job.flags |= kRemoteJobInputMayProduce;
    transfer->insideWriter = true;
    const bool started = transfer->writer.Start(WriterConfig(*transfer, connection.client->loop));
    if (FreedAfterWriter(transfer)) return;
    if (!started) InputArchiveFailed(*transfer);
}

}  // namespace

void StartInputTransfer(RemoteJob& job) {
    Connection& connection = *job.connection;
    if (RequestOutstanding(connection)) return;
    if (job.statusText == nullptr) job.statusText = new (std::nothrow) char[kStatusTextSize];
    if (job.statusText == nullptr) return FailJob(job, kErrorNotEnoughMemory, kInputNoMemory);
    if (job.job->preparedInputCount == 0) {
        MoveJob(job, Stage::StepStart);
        return SendStepStart(job);
    }
    MoveJob(job, Stage::InputTransfer);
    job.transferredBytes = 0;
    ShowProgress(job, true);
    if (!AllocateTransfer(job)) return FailJob(job, kErrorNotEnoughMemory, kInputNoMemory);
    InputTransfer& transfer = *job.input;
    int32_t code = 0;
    const InputEntryResult first = MakeNextInputEntry(transfer, transfer.pendingEntry, transfer.pendingFile, code);
    if (first == InputEntryResult::OpenFailed || first == InputEntryResult::NoMemory)
        return FirstEntryFailed(job, first, code);
    transfer.entryPending = true;
    transfer.pendingResult = first;
    StartWriter(job);
}

void ContinueInputTransfer(RemoteJob& job) {
    Connection& connection = *job.connection;
    InputTransfer* transfer = job.input;
    if (RequestOutstanding(connection) || transfer == nullptr) return;
    ShowProgress(job, false);
    ResetPollDelay(connection);
    if ((job.flags & kRemoteJobInputPieceReady) != 0) return SendPiece(*transfer);
    // Otherwise the writer is reading a file: its next piece comes by itself.
    if (transfer->awaitingResume) ResumeWriter(job);
}

void ReleaseInputTransfer(RemoteJob& job) { ReleaseTransfer(job); }

bool OnlyInputTransfers(Connection& connection) {
    if (connection.capacityWaiter != nullptr) return false;
    for (uint32_t s = 0; s < kStageCount; ++s) {
        const Stage stage = static_cast<Stage>(s);
        if (stage != Stage::InputTransfer && StageList(connection, stage).head != nullptr) return false;
    }
    return StageList(connection, Stage::InputTransfer).head != nullptr;
}

}  // namespace kestrel
