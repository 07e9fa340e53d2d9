// A job's outputs come back: the output stage's steps, OutputTransfer piece
// by piece into the paxgz reader, and the end of the archive or its failure.
// Each piece is consumed by the reader before the next one is asked for.
#include "client/output_transfer.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "client/connection.h"
#include "client/direct_client.h"
#include "client/requests.h"
#include "client/responses.h"
#include "client/stages.h"
#include "display/console_display.h"
#include "runtime/error_codes.h"
#include "runtime/format.h"
#include "runtime/messages.h"
#include "script/job.h"

namespace kestrel {

namespace {

constexpr char kOutputProgressText[] = "Output transfer {0}K";

OutputTransfer& TransferOf(void* context) { return *static_cast<OutputTransfer*>(context); }

bool Idle(const Connection& connection) { return (connection.state & kConnectionRequestOutstanding) == 0; }

void DestroyOutputTransfer(OutputTransfer* transfer) {
    transfer->reader.Close();
    ReleaseOutputFiles(*transfer);
    ReleaseSentPaths(*transfer);
    std::free(transfer->overflow);
    delete transfer;
}

void FinishDeferredRelease(IoObject* object) {
    EventLoop::Unregister(object);
    DestroyOutputTransfer(static_cast<OutputTransfer*>(object->owner));
}

void DeferredReleaseFailed(IoObject* object, int32_t) { FinishDeferredRelease(object); }

// The reader is somewhere below on the stack: the record goes once the loop
// has its turn again.
void DeferRelease(OutputTransfer& transfer) {
    IoObject& turn = transfer.releaseTurn;
    turn = IoObject{};
    turn.flags = kIoKindNoHandle;
    turn.owner = &transfer;
    turn.completionCallback = FinishDeferredRelease;
    turn.failureCallback = DeferredReleaseFailed;
    turn.operation = kIoRead;
    int32_t error = 0;
    // Without a loop turn the record cannot be freed safely; it is left.
    if (transfer.loop != nullptr) EventLoop::Register(transfer.loop, &turn, &error);
}

bool SetUpOutputTransfer(RemoteJob& job) {
    auto* transfer = new (std::nothrow) OutputTransfer;
    if (transfer == nullptr) return false;
    transfer->job = &job;
    job.output = transfer;
    return ResetSentDirectories(*transfer);
}

// Places archive bytes: as many as fit into the input buffer, the rest into
// the overflow area. Returns how many went into the input buffer, or -1 when
// the overflow area cannot be had.
int64_t PlaceArchiveBytes(OutputTransfer& transfer, const uint8_t* bytes, uint32_t count) {
    const uint32_t direct = count < kOutputInputSize ? count : kOutputInputSize;
    if (direct > 0) std::memcpy(transfer.input, bytes, direct);
    const uint32_t rest = count - direct;
    if (rest == 0) return direct;
    if (transfer.overflowCount > 0 && transfer.overflowStart > 0) {
        std::memmove(transfer.overflow, transfer.overflow + transfer.overflowStart, transfer.overflowCount);
    }
    transfer.overflowStart = 0;
    const uint64_t needed = static_cast<uint64_t>(transfer.overflowCount) + rest;
    if (needed > transfer.overflowCapacity) {
        void* grown = std::realloc(transfer.overflow, needed);
        if (grown == nullptr) return -1;
        transfer.overflow = static_cast<uint8_t*>(grown);
        transfer.overflowCapacity = static_cast<uint32_t>(needed);
    }
    std::memcpy(transfer.overflow + transfer.overflowCount, bytes + direct, rest);
    transfer.overflowCount += rest;
    return direct;
}

// Moves waiting overflow bytes into the consumed input buffer.
uint32_t TakeOverflow(OutputTransfer& transfer) {
    const uint32_t count = transfer.overflowCount < kOutputInputSize ? transfer.overflowCount : kOutputInputSize;
    std::memcpy(transfer.input, transfer.overflow + transfer.overflowStart, count);
    transfer.overflowStart += count;
    transfer.overflowCount -= count;
    if (transfer.overflowCount == 0) transfer.overflowStart = 0;
    return count;
}

// Runs the reader from the client's side.
bool RunReader(OutputTransfer& transfer, uint32_t count, bool last) {
    ReaderCall call(transfer);
    return transfer.reader.Process(count, last);
}

// ---- reader operations ----

void RequestOutputData(void* context) {
    OutputTransfer& transfer = TransferOf(context);
    ReaderCall call(transfer);
    RemoteJob* job = transfer.job;
    if (job == nullptr) return;
    if (transfer.overflowCount > 0) {
        transfer.reader.Process(TakeOverflow(transfer), false);
        return;
    }
    if (transfer.lastPieceReceived) {
        transfer.reader.Process(0, true);
        return;
    }
    job->flags &= ~kRemoteJobExtracting;
    job->flags |= kRemoteJobExtractionWaiting;
    // Otherwise the output step asks for it once the connection is free.
    if (Idle(*job->connection)) SendOutputTransfer(*job);
}

void OnOutputFinished(void* context, uint32_t) {
    OutputTransfer& transfer = TransferOf(context);
    ReaderCall call(transfer);
    RemoteJob* job = transfer.job;
    if (job == nullptr) return;
    int32_t error = 0;
    if (transfer.localFailure || !ReportPendingFile(transfer, error)) {
        if (!transfer.localFailure) SetLocalFailure(transfer, PaxgzReaderError::kFileCreate, error);
        return OutputArchiveFailed(*job);
    }
    // The gzip trailer has been checked; anything after the member is not ours to read.
    transfer.reader.Close();
    transfer.readerDone = true;
    job->flags &= ~kRemoteJobExtracting;
    if (!transfer.lastPieceReceived) {
        // The machine finishes its side: the rest is asked for and passed over.
        job->flags |= kRemoteJobExtractionWaiting;
        if (Idle(*job->connection)) SendOutputTransfer(*job);
        return;
    }
    job->flags &= ~kRemoteJobExtractionWaiting;
    EndJobSoon(*job);
}

void OnOutputArchiveFailed(void* context) {
    OutputTransfer& transfer = TransferOf(context);
    ReaderCall call(transfer);
    if (transfer.job != nullptr) OutputArchiveFailed(*transfer.job);
}

// The encodings the reader can take names in.
bool AcceptOutputEncoding(void*, const uint8_t* name, uint32_t length) {
    auto is = [&](const char* expected) {
        if (std::strlen(expected) != length) return false;
        for (uint32_t i = 0; i < length; ++i) {
            uint8_t c = name[i];
            if (c >= 'a' && c <= 'z') c = static_cast<uint8_t>(c - 'a' + 'A');
            if (c != static_cast<uint8_t>(expected[i])) return false;
        }
        return true;
    };
    return is("UTF-8") || is("UTF8") || is("ISO-IR 10646 2000 UTF-8") || is("UTF-16LE") || is("UTF-16") ||
           is("UTF_16LE") || is("UTF_16");
}

void OnOutputTransferResponse(Connection& connection, uint8_t* message, uint32_t length) {
    RemoteJob& job = RequestJob(connection);
    StatusResponse response;
    if (!TakeStatusResponse(connection, message, length, CheckOutputTransferResponse, response)) return;
    if (EndJobOnRefusal(job, response, 1)) return;  // 1: the last piece
    OutputTransfer& transfer = *job.output;
    if (response.status == 1) transfer.lastPieceReceived = true;
    job.transferredBytes += response.textLength;
    if (transfer.readerDone) {
        if (transfer.lastPieceReceived) {
            job.flags &= ~kRemoteJobExtractionWaiting;
            return EndJobSoon(job);
        }
        return SendOutputTransfer(job);
    }
    const int64_t placed = PlaceArchiveBytes(transfer, response.text, response.textLength);
    if (placed < 0) {
        UnlinkJob(job);
        return FailJob(job, kErrorNotEnoughMemory, kNoMemoryForOutputs);
    }
    job.flags &= ~kRemoteJobExtractionWaiting;
    job.flags |= kRemoteJobExtracting;
    ShowOutputProgress(job, false);
    // The end of the input is told when the reader asks for more.
    if (!RunReader(transfer, static_cast<uint32_t>(placed), false)) OutputArchiveFailed(job);
}

uint32_t OutputCount(const RemoteJob& job, bool failedList) {
    return failedList ? job.job->preparedFailedOutputCount : job.job->preparedOutputCount;
}

}  // namespace

void ShowOutputProgress(RemoteJob& job, bool stamp) {
    if (job.statusText == nullptr) job.statusText = new (std::nothrow) char[kStatusTextSize];
    // The row only loses its progress text.
    if (job.statusText == nullptr) return;
    const uint64_t kilobytes = job.transferredBytes / 1024;
    char text[kStatusTextSize];
    FormatText(text, sizeof text, kOutputProgressText, {{FormatU64, &kilobytes}});
    if (!stamp && std::strcmp(text, job.statusText) == 0) return;
    std::memcpy(job.statusText, text, sizeof text);
    ConsoleDisplay::SetStatus(job.row, job.statusText, stamp);
}

void StartOutput(RemoteJob& job) {
    Connection& connection = *job.connection;
    if (!Idle(connection)) return;
    job.transferredBytes = 0;
    ShowOutputProgress(job, true);
    ResetPollDelay(connection);
    const bool failed = (job.flags & kRemoteJobFailed) != 0;
    if (OutputCount(job, failed) == 0) return EndJobSoon(job);
    MoveJob(job, Stage::Output);
    if (!SetUpOutputTransfer(job)) {
        UnlinkJob(job);
        return FailJob(job, kErrorNotEnoughMemory, kNoMemoryForOutputs);
    }
    job.flags |= failed ? kRemoteJobSendingFailedOutputs : kRemoteJobSendingOutputs;
    SendAddOutput(job);
}

void ContinueOutput(RemoteJob& job) {
    if (!Idle(*job.connection) || job.output == nullptr) return;
    if ((job.flags & (kRemoteJobSendingOutputs | kRemoteJobSendingFailedOutputs)) != 0) return SendAddOutput(job);
    if ((job.flags & kRemoteJobExtracting) != 0) {
        ShowOutputProgress(job, false);
        if (!RunReader(*job.output, 0, false)) OutputArchiveFailed(job);
        return;
    }
    SendOutputTransfer(job);
}

void StartTransfer(RemoteJob& job) {
    OutputTransfer& transfer = *job.output;
    transfer.loop = job.connection->client->loop;
    int32_t error = 0;
    if (!OpenOutputRoot(transfer, error)) {
        if (error == kErrorNotEnoughMemory) {
            UnlinkJob(job);
            return FailJob(job, kErrorNotEnoughMemory, kNoMemoryForOutputs);
        }
        SetLocalFailure(transfer, PaxgzReaderError::kFileCreate, error);
        return OutputArchiveFailed(job);
    }
    PaxgzReaderConfig config;
    config.loop = transfer.loop;
    config.context = &transfer;
    config.input = transfer.input;
    config.inputSize = kOutputInputSize;
    config.output = transfer.inflated;
    config.outputSize = kOutputInflateSize;
    config.create = CreateOutputEntry;
    config.needInput = RequestOutputData;
    config.progress = OutputProgress;
    // A machine's archive names paths, not novels: a header record larger
    // than this is refused instead of held in memory.
    config.headerRecordLimit = kPaxgzTransferHeaderRecords;
    config.failed = OnOutputArchiveFailed;
    config.finished = OnOutputFinished;
    config.acceptEncoding = AcceptOutputEncoding;
    transfer.readerStarted = true;
    if (!transfer.reader.Start(config)) return OutputArchiveFailed(job);
    job.flags |= kRemoteJobExtracting;
    // The output step runs the reader, which asks for the first piece.
    Dispatch(*job.connection);
}

void SendOutputTransfer(RemoteJob& job) {
    Connection& connection = *job.connection;
    PayloadWriter writer = BeginPayload(connection.protocol.messageBuffer, (connection.state & kConnectionUtf16) != 0);
    BuildJobRequest(writer, MessageType::OutputTransfer, job.jobId);
    SendJobRequest(job, writer, OnOutputTransferResponse, {LogFiller::OutputTransfer});
}

void SetLocalFailure(OutputTransfer& transfer, PaxgzReaderError kind, int32_t code) {
    if (transfer.localFailure) return;
    transfer.localFailure = true;
    transfer.localKind = static_cast<uint32_t>(kind);
    transfer.localCode = code;
}

void OutputArchiveFailed(RemoteJob& job) {
    OutputTransfer& transfer = *job.output;
    if (transfer.failureReported) return;
    transfer.failureReported = true;
    Connection& connection = *job.connection;
    UnlinkJob(job);
    const PaxgzReader& reader = transfer.reader;
    const bool local = transfer.localFailure;
    const uint32_t kind = local ? transfer.localKind : reader.ErrorKind();
    const int32_t code = local ? transfer.localCode : reader.ErrorCode();
    const char* chain[2] = {PaxgzReader::KindDescription(kind), nullptr};
    uint32_t links = 1;
    if (!local && reader.Describe(1) != nullptr) chain[links++] = reader.Describe(1);
    const char* path = transfer.pathBeingWritten && transfer.currentPath != nullptr ? transfer.currentPath : "";
    if (connection.log.IsOpen() &&
        !connection.log.WriteOutputArchiveFailure(LogJobReference{job.jobId, nullptr}, static_cast<uint32_t>(code),
                                                  chain, links, path))
        ReportLogWriteFailure(connection);
    PostMessageText(kOutputExtractionFailed, {{FormatString, job.job->name}, {FormatString, chain[0]}});
    transfer.reader.Close();
    job.flags &= ~(kRemoteJobExtracting | kRemoteJobExtractionWaiting);
    MarkJobFailed(job);
    EndJobSoon(job);
    Dispatch(connection);
}

void ReleaseOutputTransfer(RemoteJob& job) {
    OutputTransfer* transfer = job.output;
    if (transfer == nullptr) return;
    job.output = nullptr;
    transfer->job = nullptr;
    if (transfer->readerCalls > 0) return DeferRelease(*transfer);
    DestroyOutputTransfer(transfer);
}

}  // namespace kestrel
