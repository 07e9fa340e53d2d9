// The list of paths a job wants back: AddOutput requests filled to their
// limit, each directory on the way sent once before the paths below it, and
// OutputReset, which makes the machine forget the output list of a job that
// failed while sending it.
#include <cstdlib>
#include <cstring>

#include "client/connection.h"
#include "client/output_transfer.h"
#include "client/requests.h"
#include "client/responses.h"
#include "client/stages.h"
#include "runtime/error_codes.h"
#include "script/job.h"
#include "runtime/growing_array.h"

namespace kestrel {

namespace {

constexpr char kOutputPathNotConvertible[] = "An output path cannot be converted to the machine's encoding";
constexpr char kOutputPathTooLong[] = "INTERNAL ERROR: An output path does not fit an add output request (26201)";

bool SendingFailedList(const RemoteJob& job) { return (job.flags & kRemoteJobSendingFailedOutputs) != 0; }

const Path* CurrentList(const RemoteJob& job) {
    return SendingFailedList(job) ? job.job->preparedFailedOutputs : job.job->preparedOutputs;
}

uint32_t CurrentCount(const RemoteJob& job) {
    return SendingFailedList(job) ? job.job->preparedFailedOutputCount : job.job->preparedOutputCount;
}

uint32_t ComponentCount(const Path& path) {
    uint32_t count = 0;
    for (const PathComponent* c = path.first; c != nullptr; c = c->next) ++count;
    return count;
}

bool ReserveText(OutputTransfer& transfer, uint64_t size) {
    if (size <= transfer.textSize) return true;
    if (size > UINT32_MAX) return false;
    char* grown = static_cast<char*>(std::realloc(transfer.text, size));
    if (grown == nullptr) return false;
    transfer.text = grown;
    transfer.textSize = static_cast<uint32_t>(size);
    return true;
}

// The first `depth` components joined by the machine's separator, into
// transfer.text; its length, or -1 when memory ran out.
int64_t RenderComponents(OutputTransfer& transfer, const Path& path, uint32_t depth, const MachineSeparator& separator) {
    uint64_t size = 1;
    uint32_t taken = 0;
    for (const PathComponent* c = path.first; c != nullptr && taken < depth; c = c->next, ++taken)
        size += c->length + (taken > 0 ? separator.utf8Length : 0);
    if (!ReserveText(transfer, size)) return -1;
    uint32_t length = 0;
    taken = 0;
    for (const PathComponent* c = path.first; c != nullptr && taken < depth; c = c->next, ++taken) {
        if (taken > 0) {
            std::memcpy(transfer.text + length, separator.utf8, separator.utf8Length);
            length += separator.utf8Length;
        }
        std::memcpy(transfer.text + length, c->text, c->length);
        length += c->length;
    }
    transfer.text[length] = '\0';
    return length;
}

void FreeTableKey(NameTableEntry* entry) { std::free(const_cast<char*>(entry->key)); }

// Enters transfer.text into the table of sent directories.
bool RememberDirectory(OutputTransfer& transfer, uint32_t length) {
    char* key = static_cast<char*>(std::malloc(length + 1));
    if (key == nullptr) return false;
    std::memcpy(key, transfer.text, length + 1);
    if (transfer.sentDirectories.Insert(key, key, FreeTableKey)) return true;
    std::free(key);
    return false;
}

bool RecordSentPath(OutputTransfer& transfer, const SentOutputPath& path) {
    if (!RoomForOneMore(transfer.sent, transfer.sentCount, transfer.sentCapacity, 256)) return false;
    transfer.sent[transfer.sentCount++] = path;
    return true;
}

enum class Filled { Full, Done, NoMemory, NotConvertible, TooLong };

// The next path to send for the path at the index: its first directory
// prefix not sent yet, or the path itself. `depth` receives the prefix's
// component count (0 for the path itself); returns the text length or -1.
int64_t NextPathText(OutputTransfer& transfer, const Path& path, const MachineSeparator& separator, uint32_t& depth) {
    const uint32_t components = ComponentCount(path);
    for (uint32_t d = 1; d < components; ++d) {
        const int64_t length = RenderComponents(transfer, path, d, separator);
        if (length < 0) return -1;
        if (transfer.sentDirectories.Find(transfer.text) == nullptr) {
            depth = d;
            return length;
        }
    }
    depth = 0;
    return RenderComponents(transfer, path, components, separator);
}

// Adds paths from the index on while they fit.
Filled FillAddOutput(RemoteJob& job, PayloadWriter& writer) {
    OutputTransfer& transfer = *job.output;
    const MachineSeparator& separator = job.connection->separator;
    const Path* list = CurrentList(job);
    const uint32_t count = CurrentCount(job);
    const uint32_t terminator = writer.utf16 ? 2 : 1;
    transfer.sentCount = 0;
    while (transfer.nextIndex < count) {
        uint32_t depth = 0;
        const int64_t length = NextPathText(transfer, list[transfer.nextIndex], separator, depth);
        if (length < 0) return Filled::NoMemory;
        const uint32_t offset = writer.length;
        switch (AddOutputPath(writer, transfer.text, static_cast<uint32_t>(length))) {
        case TextAppend::Done:
            break;
        case TextAppend::TooLong:
            return transfer.sentCount == 0 ? Filled::TooLong : Filled::Full;
        case TextAppend::InvalidText:
            return Filled::NotConvertible;
        }
        const SentOutputPath sent{offset, writer.length - offset - terminator, transfer.nextIndex, depth};
        if (!RecordSentPath(transfer, sent)) return Filled::NoMemory;
        if (depth > 0) {
            if (!RememberDirectory(transfer, static_cast<uint32_t>(length))) return Filled::NoMemory;
        } else {
            ++transfer.nextIndex;
        }
    }
    return Filled::Done;
}

// The machine's text without a terminator it may have added.
uint32_t NamedLength(const uint8_t* text, uint32_t length, bool utf16) {
    if (utf16) return length >= 2 && text[length - 1] == 0 && text[length - 2] == 0 ? length - 2 : length;
    return length >= 1 && text[length - 1] == 0 ? length - 1 : length;
}

// The machine took the paths up to the one it names and none after it:
// sending goes on after that path, and the directories entered after it are
// forgotten, since the machine never took them.
void ResumeAfterNamedPath(RemoteJob& job, const uint8_t* text, uint32_t length) {
    OutputTransfer& transfer = *job.output;
    length = NamedLength(text, length, (job.connection->state & kConnectionUtf16) != 0);
    uint32_t found = transfer.sentCount;
    for (uint32_t i = transfer.sentCount; i-- > 0;) {
        const SentOutputPath& sent = transfer.sent[i];
        if (sent.length == length && std::memcmp(transfer.lastRequest + sent.offset, text, length) == 0) {
            found = i;
            break;
        }
    }
    if (found == transfer.sentCount) return;
    const Path* list = CurrentList(job);
    for (uint32_t i = found + 1; i < transfer.sentCount; ++i) {
        const SentOutputPath& sent = transfer.sent[i];
        if (sent.prefixDepth == 0) continue;
        if (RenderComponents(transfer, list[sent.pathIndex], sent.prefixDepth, job.connection->separator) < 0) continue;
        // A key that cannot be rendered again stays: that directory is then not asked for twice.
        std::free(const_cast<char*>(transfer.sentDirectories.Remove(transfer.text)));
    }
    const SentOutputPath& named = transfer.sent[found];
    transfer.nextIndex = named.prefixDepth > 0 ? named.pathIndex : named.pathIndex + 1;
    transfer.sentCount = found + 1;
}

void OnOutputResetResponse(Connection& connection, uint8_t* message, uint32_t length);

void SendOutputReset(RemoteJob& job) {
    Connection& connection = *job.connection;
    PayloadWriter writer = BeginPayload(connection.protocol.messageBuffer, (connection.state & kConnectionUtf16) != 0);
    BuildJobRequest(writer, MessageType::OutputReset, job.jobId);
    SendJobRequest(job, writer, OnOutputResetResponse, {LogFiller::Status});
}

// After a response that leaves the job on its lists.
void ContinueOutputList(RemoteJob& job) {
    Connection& connection = *job.connection;
    const bool allSent = job.output->nextIndex >= CurrentCount(job);
    if ((job.flags & kRemoteJobSendingOutputs) != 0) {
        if ((job.flags & kRemoteJobFailed) != 0) {
            job.flags &= ~kRemoteJobSendingOutputs;
            return SendOutputReset(job);
        }
        if (allSent) {
            job.flags &= ~kRemoteJobSendingOutputs;
            return StartTransfer(job);
        }
        return Dispatch(connection);
    }
    if (allSent) {
        job.flags &= ~kRemoteJobSendingFailedOutputs;
        return StartTransfer(job);
    }
    Dispatch(connection);
}

void OnAddOutputResponse(Connection& connection, uint8_t* message, uint32_t length) {
    RemoteJob& job = RequestJob(connection);
    StatusResponse response;
    if (!TakeStatusResponse(connection, message, length, CheckAddOutputResponse, response)) return;
    switch (response.status) {
    case 0:
        break;
    case 6:  // a file is missing
    case 7:  // a path is unacceptable
        MarkJobFailed(job);
        // The failed-output list takes what exists; the output list is reset anyway.
        if (SendingFailedList(job)) ResumeAfterNamedPath(job, response.text, response.textLength);
        break;
    default:
        MarkJobFailed(job);
        return EndJobSoon(job);
    }
    ContinueOutputList(job);
}

void OnOutputResetResponse(Connection& connection, uint8_t* message, uint32_t length) {
    RemoteJob& job = RequestJob(connection);
    StatusResponse response;
    if (!TakeStatusResponse(connection, message, length, CheckOutputResetResponse, response)) return;
    if (EndJobOnRefusal(job, response)) return;
    OutputTransfer& transfer = *job.output;
    if (!ResetSentDirectories(transfer)) {
        UnlinkJob(job);
        return FailJob(job, kErrorNotEnoughMemory, kNoMemoryForOutputs);
    }
    transfer.nextIndex = 0;
    job.flags |= kRemoteJobSendingFailedOutputs;
    if (job.job->preparedFailedOutputCount == 0) return EndJobSoon(job);
    SendAddOutput(job);
}

}  // namespace

bool ResetSentDirectories(OutputTransfer& transfer) {
    if (transfer.sentDirectories.entries != nullptr) transfer.sentDirectories.Destroy();
    transfer.sentDirectories = NameTable{};
    return transfer.sentDirectories.Init();
}

void ReleaseSentPaths(OutputTransfer& transfer) {
    if (transfer.sentDirectories.entries != nullptr) transfer.sentDirectories.Destroy();
    std::free(transfer.sent);
    transfer.sent = nullptr;
    transfer.sentCount = transfer.sentCapacity = 0;
    std::free(transfer.text);
    transfer.text = nullptr;
    transfer.textSize = 0;
}

void SendAddOutput(RemoteJob& job) {
    Connection& connection = *job.connection;
    OutputTransfer& transfer = *job.output;
    PayloadWriter writer = BeginPayload(connection.protocol.messageBuffer, (connection.state & kConnectionUtf16) != 0);
    BeginAddOutput(writer, job.jobId);
    switch (FillAddOutput(job, writer)) {
    case Filled::Full:
    case Filled::Done:
        break;
    case Filled::NoMemory:
        UnlinkJob(job);
        return FailJob(job, kErrorNotEnoughMemory, kNoMemoryForOutputs);
    case Filled::NotConvertible:
        UnlinkJob(job);
        return FailJob(job, kErrorNoUnicodeTranslation, kOutputPathNotConvertible);
    case Filled::TooLong:
        UnlinkJob(job);
        return FailJob(job, kErrorInvalidParameter, kOutputPathTooLong);
    }
    std::memcpy(transfer.lastRequest, writer.payload, writer.length);
    transfer.lastRequestLength = writer.length;
    ConnectionLog& log = connection.log;
    if (!log.BeginRecord(writer.payload, writer.length) || !log.AppendOutputListEnd(SendingFailedList(job)))
        return LogWriteFailed(connection);
    connection.requestJob = &job;
    connection.state |= kConnectionJobRequest;
    SendRequest(connection, writer.length, OnAddOutputResponse, {LogFiller::Status});
}

}  // namespace kestrel
