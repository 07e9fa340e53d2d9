// The output archive's entries on the client's disk: regular files and
// directories beneath the job root and nothing else, never through a link,
// with the modification times the archive gives them. Every file that has
// arrived whole is reported to the scheduler, which may release the jobs
// that wait for it.
#include <cstdlib>
#include <cstring>

#include "client/connection.h"
#include "client/direct_client.h"
#include "client/output_transfer.h"
#include "client/stages.h"
#include "platform/file_times.h"
#include "platform/handles.h"
#include "runtime/error_codes.h"
#include "runtime/utf16.h"
#include "runtime/utf8.h"
#include "script/job.h"

namespace kestrel {

namespace {

OutputTransfer& TransferOf(void* context) { return *static_cast<OutputTransfer*>(context); }

// ---- paths ----

bool ReservePath(OutputTransfer& transfer, uint64_t size) {
    if (size <= transfer.currentPathSize) return true;
    if (size > UINT32_MAX) return false;
    const uint64_t grown = size < 512 ? 512 : size * 2 > UINT32_MAX ? size : size * 2;
    char* text = static_cast<char*>(std::realloc(transfer.currentPath, grown));
    if (text == nullptr) return false;
    transfer.currentPath = text;
    transfer.currentPathSize = static_cast<uint32_t>(grown);
    return true;
}

bool AppendPathBytes(OutputTransfer& transfer, const void* bytes, uint32_t count) {
    if (!ReservePath(transfer, static_cast<uint64_t>(transfer.currentPathLength) + count + 1)) return false;
    std::memcpy(transfer.currentPath + transfer.currentPathLength, bytes, count);
    transfer.currentPathLength += count;
    transfer.currentPath[transfer.currentPathLength] = '\0';
    return true;
}

// One component, converted to UTF-8 when the archive names its entries in UTF-16.
bool AppendComponent(OutputTransfer& transfer, const PathComponentView& component, bool utf16, int32_t& error) {
    if (!utf16) {
        if (AppendPathBytes(transfer, component.bytes, component.length)) return true;
        error = kErrorNotEnoughMemory;
        return false;
    }
    const uint32_t units = component.length / 2;
    uint32_t at = 0;
    while (at < units) {
        uint32_t code = 0;
        const uint32_t used = DecodeUtf16Le(component.bytes + 2 * at, units - at, code);
        if (used == 0) {
            error = kErrorNoUnicodeTranslation;
            return false;
        }
        at += used;
        uint8_t encoded[4];
        if (!AppendPathBytes(transfer, encoded, EncodeUtf8(code, encoded))) {
            error = kErrorNotEnoughMemory;
            return false;
        }
    }
    return true;
}

// The job root followed by the entry's components, joined with the native separator.
bool SetCurrentPath(OutputTransfer& transfer, const PaxgzReadEntry& entry, int32_t& error) {
    transfer.currentPathLength = 0;
    transfer.pathBeingWritten = true;
    if (!AppendPathBytes(transfer, transfer.rootText, transfer.rootLength)) {
        error = kErrorNotEnoughMemory;
        return false;
    }
    const bool rootEndsWithSeparator = transfer.rootLength > 0 && transfer.rootText[transfer.rootLength - 1] == kNativeSeparator;
    for (uint32_t i = 0; i < entry.componentCount; ++i) {
        if ((i > 0 || !rootEndsWithSeparator) && !AppendPathBytes(transfer, &kNativeSeparator, 1)) {
            error = kErrorNotEnoughMemory;
            return false;
        }
        if (!AppendComponent(transfer, entry.components[i], entry.utf16, error)) return false;
    }
    return true;
}

// ---- entries ----

bool StampFile(OutputTransfer& transfer, platform::FileHandle file, int32_t& error) {
    const platform::FileStamp modified{transfer.modifiedSeconds, transfer.modifiedNanoseconds};
    const platform::FileStamp accessed{transfer.accessedSeconds, transfer.accessedNanoseconds};
    int code = 0;
    if (platform::SetFileTimes(file, modified, transfer.accessTimeGiven ? &accessed : nullptr, code)) return true;
    SetLocalFailure(transfer, PaxgzReaderError::kFileTime, code);
    error = code;
    return false;
}

bool CreateRegularFile(OutputTransfer& transfer, const PaxgzReadEntry& entry, platform::FileHandle& file,
                       int32_t& error) {
    platform::FileHandle created;
    int code = 0;
    // The archive's permission bits, as an unpacking tar would give them:
    // a program built on the machine can be run where it arrives.
    if (!transfer.root.CreateFile(entry.components, entry.componentCount, entry.utf16, created, code,
                                  entry.mode & 0777)) {
        error = code;
        return false;
    }
    transfer.modifiedSeconds = entry.modifiedSeconds;
    transfer.modifiedNanoseconds = entry.modifiedNanoseconds;
    transfer.accessTimeGiven = (entry.recordFlags & kPaxAtime) != 0;
    transfer.accessedSeconds = entry.accessedSeconds;
    transfer.accessedNanoseconds = entry.accessedNanoseconds;
    transfer.filePending = true;
    if (entry.size == 0) {
        const bool stamped = StampFile(transfer, created, error);
        platform::CloseFile(created);
        transfer.fileComplete = true;
        return stamped && ReportPendingFile(transfer, error);
    }
    // The reader writes the data and closes the file; its times are set
    // when the last byte is in.
    transfer.fileComplete = false;
    transfer.file = created;
    transfer.fileSize = entry.size;
    transfer.fileWritten = 0;
    file = created;
    return true;
}

bool CreateEntry(OutputTransfer& transfer, const PaxgzReadEntry& entry, platform::FileHandle& file, int32_t& error) {
    if (transfer.job == nullptr) {
        error = kErrorInvalidParameter;
        return false;
    }
    // The file before this entry failed to take its times.
    if (transfer.localFailure) {
        error = transfer.localCode;
        return false;
    }
    if (!ReportPendingFile(transfer, error) || !SetCurrentPath(transfer, entry, error)) return false;
    switch (entry.kind) {
    case PaxgzEntryKind::kRegularFile:
        return CreateRegularFile(transfer, entry, file, error);
    case PaxgzEntryKind::kDirectory: {
        // An existing directory is kept as it is.
        int code = 0;
        if (!transfer.root.MakeDirectories(entry.components, entry.componentCount, entry.utf16, code)) {
            error = code;
            return false;
        }
        transfer.pathBeingWritten = false;
        return true;
    }
    default:
        // Links, devices and FIFOs are never made.
        error = kErrorInvalidParameter;
        return false;
    }
}

}  // namespace

bool OpenOutputRoot(OutputTransfer& transfer, int32_t& error) {
    const Path& root = transfer.job->job->rootDirectory;
    const uint32_t length = root.Render(nullptr, 0);
    transfer.rootText = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (transfer.rootText == nullptr) {
        error = kErrorNotEnoughMemory;
        return false;
    }
    root.Render(transfer.rootText, length);
    transfer.rootText[length] = '\0';
    transfer.rootLength = length;
    int code = 0;
    if (transfer.root.Open(transfer.rootText, code)) return true;
    // The failure record names the root.
    transfer.currentPathLength = 0;
    transfer.pathBeingWritten = AppendPathBytes(transfer, transfer.rootText, transfer.rootLength);
    error = code;
    return false;
}

bool CreateOutputEntry(void* context, const PaxgzReadEntry& entry, platform::FileHandle& file, int32_t& error) {
    OutputTransfer& transfer = TransferOf(context);
    ReaderCall call(transfer);
    return CreateEntry(transfer, entry, file, error);
}

void OutputProgress(void* context, uint32_t bytesWritten) {
    OutputTransfer& transfer = TransferOf(context);
    ReaderCall call(transfer);
    if (transfer.job == nullptr) return;
    transfer.fileWritten += bytesWritten;
    if (transfer.filePending && !transfer.fileComplete && transfer.fileWritten >= transfer.fileSize) {
        // The reader closes the file after this call: its times are set now.
        transfer.fileComplete = true;
        transfer.pathBeingWritten = false;
        int32_t error = 0;
        StampFile(transfer, transfer.file, error);
        transfer.file = platform::kNoFile;
    }
    ShowOutputProgress(*transfer.job, false);
}

bool ReportPendingFile(OutputTransfer& transfer, int32_t& error) {
    if (!transfer.filePending) return true;
    transfer.filePending = false;
    transfer.pathBeingWritten = false;
    JobScheduler& scheduler = transfer.job->connection->client->scheduler;
    if (scheduler.OutputProduced(transfer.currentPath, transfer.currentPathLength)) return true;
    error = kErrorNotEnoughMemory;
    return false;
}

void ReleaseOutputFiles(OutputTransfer& transfer) {
    transfer.root.Close();
    std::free(transfer.rootText);
    transfer.rootText = nullptr;
    std::free(transfer.currentPath);
    transfer.currentPath = nullptr;
    transfer.currentPathLength = transfer.currentPathSize = 0;
}

}  // namespace kestrel
