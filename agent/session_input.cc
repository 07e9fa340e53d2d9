// The input archive (InputWrite pieces extracted as they arrive) and
// StepStart, which closes the input and lets commands run.
#include <cstring>
#include <mutex>
#include <new>

#include "agent/os/errors.h"
#include "agent/os/files.h"
#include "agent/session.h"
#include "archive/paxgz_file.h"

namespace kestrel::agent {

namespace {

constexpr uint32_t kInvalidJob = 1;

constexpr uint32_t kInputStepStarted = 2;
constexpr uint32_t kInputNoMemory = 3;
constexpr uint32_t kInputTimesNotSet = 4;
constexpr uint32_t kInputTransferError = 5;

// Deeper input paths are refused: no real source tree comes near it, and a
// tree built to be deep only wears out whoever walks it.
constexpr uint32_t kMaxInputDepth = 256;

constexpr uint32_t kStepInputFailed = 3;
constexpr uint32_t kStepCorrupt = 5;

bool SameNameIgnoringCase(const uint8_t* name, uint32_t length, const char* expected) {
    const uint32_t expectedLength = static_cast<uint32_t>(std::strlen(expected));
    if (length != expectedLength) return false;
    for (uint32_t i = 0; i < length; ++i) {
        const int a = name[i] >= 'a' && name[i] <= 'z' ? name[i] - 32 : name[i];
        if (a != expected[i]) return false;
    }
    return true;
}

bool AcceptEncoding(void*, const uint8_t* name, uint32_t length) {
    return SameNameIgnoringCase(name, length, "UTF-8") || SameNameIgnoringCase(name, length, "UTF-16LE");
}

// Sets the times of the file extracted last, now that its data are written.
void SetPendingTimes(InputExtraction& input) {
    if (!input.timesPending) return;
    input.timesPending = false;
    int error = 0;
    if (!os::SetTimesBeneath(input.areaFd, input.pendingPath, input.modifiedSeconds, input.modifiedNanoseconds,
                             input.accessedSeconds, input.accessedNanoseconds, error) &&
        input.timesError == 0) {
        input.timesError = error;
    }
}

bool CreateInputEntry(void* context, const PaxgzReadEntry& entry, platform::FileHandle& file, int32_t& error) {
    auto& input = *static_cast<InputExtraction*>(context);
    input.session->Tick();
    SetPendingTimes(input);
    if (entry.componentCount > kMaxInputDepth) {
        input.refusedDepth = entry.componentCount;
        error = os::kErrorNameTooLong;
        return false;
    }
    if (!CreateEntryBeneath(input.root, entry, file, error)) return false;
    if (entry.kind != PaxgzEntryKind::kRegularFile) return true;
    input.pendingPath.clear();
    for (uint32_t i = 0; i < entry.componentCount; ++i) {
        char name[1024];
        uint32_t length = 0;
        int code = 0;
        // The root has already created it, so the name converts.
        if (!ComponentToUtf8(entry.components[i], entry.utf16, name, sizeof name, length, code)) return true;
        input.pendingPath.emplace_back(name, length);
    }
    input.timesPending = true;
    input.modifiedSeconds = entry.modifiedSeconds;
    input.modifiedNanoseconds = entry.modifiedNanoseconds;
    input.accessedSeconds = entry.accessedSeconds;
    input.accessedNanoseconds = entry.accessedNanoseconds;
    return true;
}

void NeedInput(void*) {
    // The next InputWrite brings more.
}

void InputFinished(void* context, uint32_t) {
    auto& input = *static_cast<InputExtraction*>(context);
    SetPendingTimes(input);
    input.finished = true;
}

void InputFailed(void*) {
    // Extraction is synchronous: every failure is reported by Process's result.
}

std::string DescribeReaderError(const PaxgzReader& reader) {
    std::string text = reader.Describe(0) != nullptr ? reader.Describe(0) : "archive error";
    if (const char* detail = reader.Describe(1)) text += std::string(": ") + detail;
    return text;
}

}  // namespace

void Session::OnInputWrite(const Request& request) {
    if (request.length < 2) return StatusWithError(kInputTransferError, os::kErrorInvalid, "Corrupt input write request");
    AgentJob* job = FindJob(request);
    if (job == nullptr) return Status(kInvalidJob);
    if (job->stepStarted) return Status(kInputStepStarted);
    if (job->inputFailed) return RepeatInputFailure(*job);
    if (request.length < 3) return StatusWithError(kInputTransferError, os::kErrorInvalid, "An input write request without data");
    if (!job->input && !StartInputExtraction(*job)) return;
    ExtractInputPiece(*job, request.payload + 2, request.length - 2);
}

// A job whose input failed answers every later piece as the first one.
void Session::RepeatInputFailure(const AgentJob& job) {
    if (job.inputFailureStatus == kInputTransferError)
        return StatusWithError(kInputTransferError, job.inputErrorCode, job.inputErrorText);
    Status(job.inputFailureStatus);
    reply_.U32(static_cast<uint32_t>(job.inputErrorCode));
}

void Session::FailInputTransfer(AgentJob& job, int32_t code, const std::string& text) {
    job.inputFailed = true;
    job.inputFailureStatus = kInputTransferError;
    job.inputErrorCode = code;
    job.inputErrorText = text;
    StatusWithError(kInputTransferError, code, text);
}

// The first piece: the extraction into the work area begins. False when it
// could not, with the request answered.
bool Session::StartInputExtraction(AgentJob& job) {
    std::unique_ptr<InputExtraction> input(new (std::nothrow) InputExtraction);
    if (!input) {
        Status(kInputNoMemory);
        return false;
    }
    input->session = this;
    input->areaFd = job.areaFd;
    int error = 0;
    const std::string area = machine_.WorkDirectoryPath() + "/" + job.areaName;
    if (!input->root.Open(area.c_str(), error)) {
        FailInputTransfer(job, error, std::string("Cannot open the work area: ") + std::strerror(error));
        return false;
    }
    PaxgzReaderConfig config;
    config.context = input.get();
    config.input = input->input;
    config.inputSize = sizeof input->input;
    config.output = input->output;
    config.outputSize = sizeof input->output;
    config.create = CreateInputEntry;
    config.needInput = NeedInput;
    config.failed = InputFailed;
    config.finished = InputFinished;
    config.acceptEncoding = AcceptEncoding;
    config.headerRecordLimit = kPaxgzTransferHeaderRecords;
    job.input = std::move(input);
    if (!job.input->reader.Start(config)) {
        FailInputTransfer(job, job.input->reader.ErrorCode(), DescribeReaderError(job.input->reader));
        return false;
    }
    return true;
}

void Session::ExtractInputPiece(AgentJob& job, const uint8_t* piece, uint32_t count) {
    InputExtraction& input = *job.input;
    // The archive ended with its gzip trailer checked: whatever follows it is not read.
    if (input.finished) return Status(0);
    std::memcpy(input.input, piece, count);
    if (!input.reader.Process(count, false)) {
        const std::string text =
            input.refusedDepth != 0
                ? "An input path has " + std::to_string(input.refusedDepth) + " levels; at most " +
                      std::to_string(kMaxInputDepth) + " are allowed"
                : DescribeReaderError(input.reader);
        Log("job " + std::to_string(job.id) + " input failed: " + text);
        return FailInputTransfer(job, input.reader.ErrorCode(), text);
    }
    if (input.timesError != 0) {
        job.inputFailed = true;
        job.inputFailureStatus = kInputTimesNotSet;
        job.inputErrorCode = input.timesError;
        Status(kInputTimesNotSet);
        return reply_.U32(static_cast<uint32_t>(input.timesError));
    }
    Status(0);
}

void Session::OnStepStart(const Request& request) {
    if (request.length != 2) return Status(kStepCorrupt);
    AgentJob* job = FindJob(request);
    if (job == nullptr) return Status(kInvalidJob);
    if (job->stepStarted) return Status(0);
    if (job->inputFailed) {
        return StatusWithError(kStepInputFailed, job->inputErrorCode,
                               job->inputErrorText.empty() ? "The input could not be written" : job->inputErrorText);
    }
    if (job->input && !job->input->finished) {
        return StatusWithError(kStepInputFailed, EIO, "The input archive ended before its trailer");
    }
    if (job->input) job->input->reader.Close();
    job->input.reset();
    job->stepStarted = true;
    Status(0);
}

}  // namespace kestrel::agent
