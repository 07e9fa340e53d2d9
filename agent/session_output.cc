// Outputs: AddOutput lists the paths to send back, OutputReset forgets
// them, and OutputTransfer hands out the output archive one piece per
// request, produced by the writer only as fast as it is asked for.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "agent/os/files.h"
#include "agent/session.h"
#include "agent/work_paths.h"

namespace kestrel::agent {

namespace {

constexpr uint32_t kInvalidJob = 1;

constexpr uint32_t kAddCorrupt = 2;
constexpr uint32_t kAddWrongState = 3;
constexpr uint32_t kAddNoMemory = 4;
constexpr uint32_t kAddTransferring = 5;
constexpr uint32_t kAddMissing = 6;
constexpr uint32_t kAddUnacceptable = 7;
constexpr uint32_t kAddError = 8;

constexpr uint32_t kResetCorrupt = 2;
constexpr uint32_t kResetWrongState = 3;
constexpr uint32_t kResetTransferring = 4;

constexpr uint32_t kTransferMore = 0;
constexpr uint32_t kTransferLast = 1;
constexpr uint32_t kTransferInvalidJob = 2;
constexpr uint32_t kTransferCorrupt = 3;
constexpr uint32_t kTransferWrongState = 4;
constexpr uint32_t kTransferError = 5;

std::string JoinUtf8(const std::vector<std::string>& components) {
    std::string joined;
    for (const std::string& component : components) joined += (joined.empty() ? "" : "/") + component;
    return joined;
}

bool NextOutputEntry(void* context, PaxgzEntry& entry, platform::FileHandle& file, bool& haveEntry,
                     int32_t& error) {
    auto& archive = *static_cast<OutputArchive*>(context);
    archive.session->Tick();
    file = platform::kNoFile;
    if (archive.next >= archive.paths->size()) {
        haveEntry = false;
        return true;
    }
    const OutputPath& path = (*archive.paths)[archive.next++];
    int code = 0;
    int opened = -1;
    // Non-blocking, so that a FIFO put in an output's place cannot stall us.
    if (!os::OpenBeneath(archive.areaFd, path.components, O_RDONLY | O_NONBLOCK, opened, code)) {
        archive.failedPath = JoinUtf8(path.components);
        error = code;
        return false;
    }
    struct stat status;
    if (!os::StatDescriptor(opened, status, code) || !(S_ISREG(status.st_mode) || S_ISDIR(status.st_mode))) {
        archive.failedPath = JoinUtf8(path.components);
        error = code != 0 ? code : EINVAL;
        os::CloseDescriptor(opened);
        return false;
    }
    entry = PaxgzEntry{};
    entry.directory = reinterpret_cast<const uint8_t*>(path.directoryPart.data());
    entry.directoryLength = static_cast<uint32_t>(path.directoryPart.size());
    entry.name = reinterpret_cast<const uint8_t*>(path.namePart.data());
    entry.nameLength = static_cast<uint32_t>(path.namePart.size());
    entry.kind = S_ISDIR(status.st_mode) ? PaxgzEntryKind::kDirectory : PaxgzEntryKind::kRegularFile;
    entry.size = S_ISREG(status.st_mode) ? static_cast<uint64_t>(status.st_size) : 0;
    entry.modifiedSeconds = status.st_mtim.tv_sec < 0 ? 0 : static_cast<uint64_t>(status.st_mtim.tv_sec);
    entry.modifiedNanoseconds = static_cast<uint32_t>(status.st_mtim.tv_nsec);
    if (entry.size > 0) {
        file = platform::FileHandle{opened};
    } else {
        os::CloseDescriptor(opened);
    }
    haveEntry = true;
    return true;
}

PaxgzWriteResult TakeOutputPiece(void* context, const uint8_t* bytes, uint32_t count, int32_t&) {
    auto& archive = *static_cast<OutputArchive*>(context);
    archive.piece = bytes;
    archive.pieceLength = count;
    // It waits in the writer's buffer until an OutputTransfer request takes it.
    return PaxgzWriteResult::kPending;
}

void OutputWriterFailed(void*) {
    // The writer runs synchronously: failures come back as results.
}

std::string DescribeWriterError(const OutputArchive& archive) {
    const PaxgzWriter& writer = archive.writer;
    std::string text = writer.Describe(0) != nullptr ? writer.Describe(0) : "archive error";
    if (const char* detail = writer.Describe(1)) text += std::string(": ") + detail;
    if (!archive.failedPath.empty()) text += " (" + archive.failedPath + ")";
    return text;
}

}  // namespace

void Session::OnAddOutput(const Request& request) {
    if (request.length < 2) return Status(kAddCorrupt);
    AgentJob* job = FindJob(request);
    if (job == nullptr) return Status(kInvalidJob);
    if (job->output || job->outputSent) return Status(kAddTransferring);
    if (job->command && !job->command->exitReported) return Status(kAddWrongState);
    // Read the whole list first: a corrupt request adds nothing.
    std::vector<WireString> texts;
    uint32_t offset = 2;
    while (offset < request.length) {
        WireString text;
        if (!ReadWireString(request.payload, request.length, offset, Utf16(), text)) return Status(kAddCorrupt);
        texts.push_back(text);
    }
    if (texts.empty()) return Status(kAddCorrupt);
    const std::string separator = ResponseText(machine_.Options().separator, Utf16());
    // The paths before a refused one stay added; the client resumes after it.
    for (const WireString& text : texts) {
        const auto concerned = [&](uint32_t status) {
            Status(status);
            if (text.length == 0) return reply_.Bytes(ResponseText(".", Utf16()));
            reply_.Bytes(text.bytes, text.length);
        };
        WirePath path;
        switch (SplitWirePath(text, Utf16(), separator, false, path)) {
        case WirePathCheck::Ok: break;
        case WirePathCheck::NoMemory: return Status(kAddNoMemory);
        default: return concerned(kAddUnacceptable);
        }
        struct stat status;
        int error = 0;
        if (!os::StatBeneath(job->areaFd, path.components, status, error)) {
            if (error == ENOENT || error == ENOTDIR) return concerned(kAddMissing);
            if (error == ELOOP) return concerned(kAddUnacceptable);
            return StatusWithError(kAddError, error, "Cannot examine " + JoinUtf8(path.components) + ": " + std::strerror(error));
        }
        // Links would lead out of the area; devices and FIFOs are not files to send.
        if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) return concerned(kAddUnacceptable);
        OutputPath output;
        output.components = std::move(path.components);
        for (size_t i = 0; i + 1 < path.wireComponents.size(); ++i) {
            if (i > 0) output.directoryPart += separator;
            output.directoryPart += path.wireComponents[i];
        }
        output.namePart = path.wireComponents.back();
        job->outputs.push_back(std::move(output));
    }
    Status(0);
}

void Session::OnOutputReset(const Request& request) {
    if (request.length < 2) return Status(kResetCorrupt);
    AgentJob* job = FindJob(request);
    if (job == nullptr) return Status(kInvalidJob);
    if (request.length != 2) return Status(kResetCorrupt);
    if (job->output || job->outputSent) return Status(kResetTransferring);
    if (job->command && !job->command->exitReported) return Status(kResetWrongState);
    job->outputs.clear();
    Status(0);
}

void Session::OnOutputTransfer(const Request& request) {
    if (request.length < 2) return Status(kTransferCorrupt);
    AgentJob* job = FindJob(request);
    if (job == nullptr) return Status(kTransferInvalidJob);
    if (request.length != 2) return Status(kTransferCorrupt);
    if (job->outputFailed) return StatusWithError(kTransferError, job->outputErrorCode, job->outputErrorText);
    if (job->outputSent || (job->command && !job->command->exitReported)) return Status(kTransferWrongState);
    const auto fail = [&](int32_t code, const std::string& text) {
        job->outputFailed = true;
        job->outputErrorCode = code;
        job->outputErrorText = text;
        if (job->output) job->output->writer.Close();
        job->output.reset();
        reply_.Clear();
        Log("job " + std::to_string(job->id) + " output failed: " + text);
        StatusWithError(kTransferError, code, text);
    };
    if (!job->output) {
        std::unique_ptr<OutputArchive> archive(new (std::nothrow) OutputArchive);
        if (!archive) return fail(ENOMEM, "Insufficient memory for the output archive");
        archive->session = this;
        archive->paths = &job->outputs;
        archive->areaFd = job->areaFd;
        job->output = std::move(archive);
        OutputArchive& output = *job->output;
        PaxgzWriterConfig config;
        config.context = &output;
        config.nextEntry = NextOutputEntry;
        config.write = TakeOutputPiece;
        config.failed = OutputWriterFailed;
        config.staging = output.staging;
        config.stagingSize = sizeof output.staging;
        config.output = output.output;
        config.outputSize = sizeof output.output;
        config.encoding = Utf16() ? "UTF-16LE" : "UTF-8";
        const std::string separator = ResponseText(machine_.Options().separator, Utf16());
        std::memcpy(output.separator, separator.data(), separator.size());
        config.separator = output.separator;
        config.separatorLength = static_cast<uint32_t>(separator.size());
        output.started = true;
        if (!output.writer.Start(config)) return fail(output.writer.ErrorCode(), DescribeWriterError(output));
    }
    OutputArchive& output = *job->output;
    // Send the waiting piece; whether it is the last one shows once the writer goes on.
    Status(kTransferMore);
    reply_.Bytes(output.piece, output.pieceLength);
    output.piece = nullptr;
    if (!output.writer.Resume()) return fail(output.writer.ErrorCode(), DescribeWriterError(output));
    if (!output.writer.Finished()) return;
    WriteU32(reply_.Payload(), kTransferLast);
    output.finished = true;
    output.writer.Close();
    job->output.reset();
    job->outputSent = true;
}

}  // namespace kestrel::agent
