#include "archive/paxgz_file.h"

#include "platform/files.h"
#include "platform/system_errors.h"
#include "runtime/error_codes.h"

namespace kestrel {

namespace {

// Owns the loop's objects while WritePaxgzToFile runs.
struct FileRun {
    PaxgzWriter* writer;
    PaxgzWriterConfig user;   // the caller's callbacks and context
    PaxgzFileRunResult* result;
    IoObject kick;            // starts the writer once the loop runs
    IoObject output;          // positional writes into the archive file
    uint64_t offset = 0;
    bool outputRegistered = false;
    bool ended = false;
    bool complete = false;
};

void EndRun(FileRun& run, bool complete) {
    if (run.ended) return;
    run.ended = true;
    run.complete = complete;
    run.writer->Close();
    if (run.outputRegistered) {
        EventLoop::Unregister(&run.output);  // closes the archive file
        run.outputRegistered = false;
    }
}

bool NextEntry(void* context, PaxgzEntry& entry, platform::FileHandle& file, bool& haveEntry, int32_t& error) {
    auto* run = static_cast<FileRun*>(context);
    return run->user.nextEntry(run->user.context, entry, file, haveEntry, error);
}

void Progress(void* context, uint64_t bytesRead) {
    auto* run = static_cast<FileRun*>(context);
    if (run->user.progress != nullptr) run->user.progress(run->user.context, bytesRead);
}

void WriterFailed(void* context) { EndRun(*static_cast<FileRun*>(context), false); }

PaxgzWriteResult Write(void* context, const uint8_t* bytes, uint32_t count, int32_t& error) {
    auto* run = static_cast<FileRun*>(context);
    run->output.buffer = const_cast<uint8_t*>(bytes);
    run->output.length = count;
    run->output.fileOffsetBase = run->offset;
    run->output.operation = kIoWrite;
    if (!EventLoop::Start(&run->output, &error)) return PaxgzWriteResult::kFailed;
    return PaxgzWriteResult::kPending;
}

void OutputDone(IoObject* object) {
    auto* run = static_cast<FileRun*>(object->owner);
    if (object->position < object->length) {
        run->result->writeFailed = true;
        run->result->writeError = platform::kErrorInputOutput;
        run->writer->WriteFailed(platform::kErrorInputOutput);
        EndRun(*run, false);
        return;
    }
    run->offset += object->position;
    if (!run->writer->Resume()) {
        EndRun(*run, false);
    } else if (run->writer->Finished()) {
        EndRun(*run, true);
    }
}

void OutputFailed(IoObject* object, int32_t error) {
    auto* run = static_cast<FileRun*>(object->owner);
    run->result->writeFailed = true;
    run->result->writeError = error;
    run->writer->WriteFailed(error);
    EndRun(*run, false);
}

void Kick(IoObject* object) {
    auto* run = static_cast<FileRun*>(object->owner);
    EventLoop* loop = object->loop;
    EventLoop::Unregister(object);
    int32_t error = 0;
    if (!EventLoop::Register(loop, &run->output, &error)) {
        EventLoop::Discard(&run->output);
        run->result->writeFailed = true;
        run->result->writeError = error;
        run->ended = true;
        run->writer->Close();
        return;
    }
    run->outputRegistered = true;
    PaxgzWriterConfig config = run->user;
    config.loop = loop;
    config.context = run;
    config.nextEntry = &NextEntry;
    config.write = &Write;
    config.progress = &Progress;
    config.failed = &WriterFailed;
    if (!run->writer->Start(config)) EndRun(*run, false);
}

void KickFailed(IoObject* object, int32_t) { EventLoop::Unregister(object); }

}  // namespace

bool WritePaxgzToFile(PaxgzWriter& writer, const PaxgzWriterConfig& config, platform::FileHandle file,
                      PaxgzFileRunResult& result) {
    result = PaxgzFileRunResult{};
    FileRun run{};
    run.writer = &writer;
    run.user = config;
    run.result = &result;
    run.kick.flags = kIoKindNoHandle;
    run.kick.owner = &run;
    run.kick.completionCallback = &Kick;
    run.kick.failureCallback = &KickFailed;
    run.output.flags = kIoKindPositionalFile;
    run.output.handle = file;
    run.output.owner = &run;
    run.output.completionCallback = &OutputDone;
    run.output.failureCallback = &OutputFailed;
    EventLoop loop;
    IoObject* initial[] = {&run.kick, nullptr};
    if (!loop.Run(initial, &result.loopError)) {
        result.loopFailed = true;
        writer.Close();
        // Unregistering closed it, if the run got that far; a loop that
        // failed may still hold it.
        if (run.output.loop == nullptr) platform::CloseFile(run.output.handle);
        return false;
    }
    if (run.output.loop == nullptr) platform::CloseFile(run.output.handle);
    return run.complete;
}

bool CreateEntryBeneath(ExtractionRoot& root, const PaxgzReadEntry& entry, platform::FileHandle& file,
                        int32_t& error) {
    file = platform::kNoFile;
    int code = 0;
    switch (entry.kind) {
    case PaxgzEntryKind::kDirectory:
        if (!root.MakeDirectories(entry.components, entry.componentCount, entry.utf16, code)) {
            error = code;
            return false;
        }
        return true;
    case PaxgzEntryKind::kRegularFile:
        // With the archive's permission bits, as tar gives them when it unpacks.
        if (!root.CreateFile(entry.components, entry.componentCount, entry.utf16, file, code, entry.mode & 0777)) {
            error = code;
            return false;
        }
        // An empty file is complete once created.
        if (entry.size == 0) platform::CloseFile(file);
        return true;
    default:
        error = kErrorInvalidParameter;
        return false;
    }
}

}  // namespace kestrel
