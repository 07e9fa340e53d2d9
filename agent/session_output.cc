// Outputs: AddOutput lists the paths to send back, OutputReset forgets
// them, and OutputTransfer hands out the output archive one piece per
// request, made a few pieces ahead on the archive's own thread.

#include <cstring>
#include <new>

#include "agent/os/errors.h"
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
        os::EntryStatus status;
        int error = 0;
        if (!os::StatBeneath(job->areaFd, path.components, status, error)) {
            if (error == os::kErrorNotFound || error == os::kErrorNotDirectory) return concerned(kAddMissing);
            if (error == os::kErrorSymbolicLink) return concerned(kAddUnacceptable);
            return StatusWithError(kAddError, error, "Cannot examine " + JoinUtf8(path.components) + ": " + std::strerror(error));
        }
        // Links would lead out of the area; devices and FIFOs are not files to send.
        if (status.kind == os::EntryKind::Other) return concerned(kAddUnacceptable);
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
        job->output.reset();
        reply_.Clear();
        Log("job " + std::to_string(job->id) + " output failed: " + text);
        StatusWithError(kTransferError, code, text);
    };
    if (!job->output) {
        std::unique_ptr<OutputArchive> archive(new (std::nothrow) OutputArchive);
        if (!archive) return fail(os::kErrorNoMemory, "Insufficient memory for the output archive");
        job->output = std::move(archive);
        int error = 0;
        if (!job->output->Start(job->outputs, job->areaFd, Utf16() ? "UTF-16LE" : "UTF-8",
                                ResponseText(machine_.Options().separator, Utf16()), error)) {
            return fail(error, "Cannot start the output archive: " + std::string(std::strerror(error)));
        }
    }
    OutputArchive& output = *job->output;
    OutputPiece piece;
    OutputArchive::Next next;
    // Large files take long to compress: keep-alives go out meanwhile.
    while ((next = output.TakePiece(piece, std::chrono::milliseconds(20))) == OutputArchive::Next::kWaiting) Tick();
    if (next == OutputArchive::Next::kFailed) return fail(output.ErrorCode(), output.Describe());
    Status(next == OutputArchive::Next::kLastPiece ? kTransferLast : kTransferMore);
    reply_.Bytes(piece.bytes.get(), piece.length);
    if (next != OutputArchive::Next::kLastPiece) return;
    output.finished = true;
    job->output.reset();
    job->outputSent = true;
}

}  // namespace kestrel::agent
