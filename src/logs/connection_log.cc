#include "logs/connection_log.h"

#include <cstring>

#include "platform/clock.h"
#include "platform/streams.h"
#include "platform/system_errors.h"
#include "runtime/error_codes.h"
#include "runtime/little_endian.h"
#include "runtime/temp_files.h"
#include "runtime/utf16.h"
#include "runtime/utf8.h"

namespace kestrel {

namespace {

// The ssh command line is kept in at most 128 bytes with its 0.
constexpr size_t kMaxSshCommandLine = 127;
constexpr uint32_t kMaxHopAddress = 128;

}  // namespace

bool ConnectionLog::Write(const void* bytes, size_t count) {
    if (stream == nullptr) {
        error = platform::kErrorBadHandle;
        return false;
    }
    return count == 0 || platform::WriteStream(stream, bytes, count, error);
}

bool ConnectionLog::Create(const char* description) {
    file = ProcessTempFiles().Create(description, "connlog");
    return file != nullptr;
}

bool ConnectionLog::Start(const char* name, uint32_t path) {
    if (file == nullptr) {
        error = platform::kErrorBadHandle;
        return false;
    }
    return Start(file->stream, name, path);
}

bool ConnectionLog::Start(std::FILE* target, const char* name, uint32_t path) {
    stream = target;
    machineName = name;
    pathId = path;
    commitPoint = -1;
    filler = LogFillerInfo{};
    recordFilled = false;
    error = 0;
    uint8_t id[4];
    WriteU32(id, pathId);
    // Committing the header lets a failure before the first hop is complete
    // cut that unfinished record away like any other.
    return Write(name, std::strlen(name) + 1) && Write(id, 4) && Commit();
}

bool ConnectionLog::BeginFirstHop(const char* url) {
    const uint8_t type = kLogHopRecord;
    return BeginRecord(&type, 1) && Append(url, static_cast<uint32_t>(std::strlen(url)) + 1);
}

bool ConnectionLog::BeginRecord(const void* bytes, uint32_t count) {
    recordFilled = false;
    return Write(bytes, count);
}

bool ConnectionLog::Append(const void* bytes, uint32_t count) {
    // The record was already completed by its filler: drop its late response.
    if (recordFilled) return true;
    return Write(bytes, count);
}

bool ConnectionLog::AppendU8(uint8_t value) { return Append(&value, 1); }

bool ConnectionLog::AppendU32(uint32_t value) {
    uint8_t bytes[4];
    WriteU32(bytes, value);
    return Append(bytes, 4);
}

bool ConnectionLog::AppendTime() {
    const uint64_t now = static_cast<uint64_t>(platform::LocalFileTimeNow());
    uint8_t bytes[8];
    WriteU32(bytes, static_cast<uint32_t>(now));
    WriteU32(bytes + 4, static_cast<uint32_t>(now >> 32));
    return Append(bytes, 8);
}

bool ConnectionLog::AppendString(const char* text) {
    if (text == nullptr) text = "";
    return Append(text, static_cast<uint32_t>(std::strlen(text)) + 1);
}

bool ConnectionLog::AppendMachineText(const uint8_t* text, uint32_t length) {
    if (utf16) return AppendUtf16MachineText(text, length);
    const void* zero = length > 0 ? std::memchr(text, 0, length) : nullptr;
    const uint32_t kept = zero ? static_cast<uint32_t>(static_cast<const uint8_t*>(zero) - text) : length;
    return Append(text, kept) && AppendU8(0);
}

// A UTF-16 machine's text becomes the UTF-8 string the log keeps, up to its
// first 0 unit; units that do not make a character become U+FFFD.
bool ConnectionLog::AppendUtf16MachineText(const uint8_t* text, uint32_t length) {
    const uint32_t units = length / 2;
    for (uint32_t at = 0; at < units;) {
        uint32_t code = 0;
        uint32_t taken = DecodeUtf16Le(text + 2 * at, units - at, code);
        if (taken == 0) {
            code = 0xFFFD;
            taken = 1;
        }
        if (code == 0) break;
        uint8_t bytes[4];
        if (!Append(bytes, EncodeUtf8(code, bytes))) return false;
        at += taken;
    }
    return AppendU8(0);
}

bool ConnectionLog::AppendEmptyText() {
    static constexpr uint8_t kZero[2] = {0, 0};
    return Append(kZero, utf16 ? 2 : 1);
}

bool ConnectionLog::AppendOutputListEnd(bool failedList) {
    static constexpr uint8_t kNormal[2] = {0, 0};
    static constexpr uint8_t kFailed[2] = {0xFF, 0xFE};
    return Append(failedList ? kFailed : kNormal, utf16 ? 2 : 1);
}

bool ConnectionLog::AppendStartJobFields(const char* jobName) {
    return AppendTime() && AppendString(machineName) && AppendU32(pathId) && AppendString(jobName);
}

bool ConnectionLog::AppendEndJobFields(uint32_t jobState) { return AppendTime() && AppendU32(jobState); }

bool ConnectionLog::AppendHopReached(const void* address, uint32_t addressLength) {
    if (addressLength > kMaxHopAddress) {
        error = kErrorInvalidValue;
        return false;
    }
    return AppendU32(0) && AppendU32(addressLength) && Append(address, addressLength);
}

bool ConnectionLog::AppendHopReachedBySsh(const void* address, uint32_t addressLength,
                                          const char* commandLine) {
    const size_t length = std::strlen(commandLine);
    if (addressLength > kMaxHopAddress || length > kMaxSshCommandLine) {
        error = platform::kErrorTooLong;
        return false;
    }
    return AppendU32(5) && AppendU32(addressLength) && Append(address, addressLength) &&
           AppendU32(static_cast<uint32_t>(length + 1)) && AppendString(commandLine);
}

bool ConnectionLog::AppendHopFailed(uint32_t code, const char* message) {
    return AppendU32(4) && AppendU32(code) && AppendString(message) && AppendTime();
}

bool ConnectionLog::Commit() {
    if (stream == nullptr) {
        error = platform::kErrorBadHandle;
        return false;
    }
    int64_t position = 0;
    if (!platform::StreamPosition(stream, position, error)) return false;
    commitPoint = position;
    recordFilled = false;
    return true;
}

bool ConnectionLog::Truncate() {
    // The unfinished record goes, and with it what would have completed it.
    recordFilled = false;
    filler = LogFillerInfo{};
    if (commitPoint < 0) return true;
    if (stream == nullptr) {
        error = platform::kErrorBadHandle;
        return false;
    }
    if (!platform::SeekStream(stream, commitPoint, error) ||
        !platform::TruncateStream(stream, commitPoint, error)) {
        return false;
    }
    commitPoint = -1;
    return true;
}

bool ConnectionLog::ApplyFiller() {
    if (filler.kind == LogFiller::None) return true;
    const LogFillerInfo info = filler;
    filler = LogFillerInfo{};
    recordFilled = false;
    bool written = true;
    switch (info.kind) {
    case LogFiller::StartJob:
        written = AppendU32(0) && AppendStartJobFields(info.jobName);
        break;
    case LogFiller::EndJob:
        written = AppendU32(0) && AppendEndJobFields(info.jobState ? *info.jobState : 0);
        break;
    case LogFiller::Version: {
        static constexpr uint8_t kZeros[10] = {};
        written = Append(kZeros, sizeof kZeros);
        break;
    }
    case LogFiller::Tunnel:
        written = AppendU32(0) && AppendU32(0);
        break;
    case LogFiller::Poll:
        written = AppendU8(kLogPollEnd);
        break;
    case LogFiller::OutputTransfer:
        written = AppendU32(1);
        break;
    case LogFiller::InputWrite:
        written = AppendU8(12) && AppendU8(info.jobId) && AppendU32(0);
        break;
    case LogFiller::Status:
        written = AppendU32(0);
        break;
    case LogFiller::None:
        break;
    }
    if (!written || !Commit()) return false;
    recordFilled = true;
    return true;
}

bool ConnectionLog::WriteErrorHead(uint8_t kind) {
    const uint8_t head[4] = {0xFF, 0xFF, 0xFF, kind};
    return Write(head, 4);
}

bool ConnectionLog::WriteJobReference(LogJobReference job) {
    if (job.jobId != kLogNoJobId) return AppendU8(job.jobId);
    return AppendU8(kLogNoJobId) && AppendString(job.jobName);
}

bool ConnectionLog::WriteChain(const char* const* chain, uint32_t chainCount) {
    for (uint32_t i = 0; i < chainCount; ++i)
        if (!AppendString(chain[i])) return false;
    return AppendU8(0);
}

bool ConnectionLog::EndRecord() { return Commit(); }

// Writes a record of the log's own between the filled record and its late
// response: the drop mode is suspended while it is written.
template <typename Body>
bool ConnectionLog::WholeRecord(Body body) {
    const bool filled = recordFilled;
    recordFilled = false;
    const bool written = body();
    recordFilled = filled;
    return written;
}

bool ConnectionLog::WriteConnectionError(uint32_t code, const char* message) {
    return Truncate() && WriteErrorHead(kLogConnectionError) && AppendTime() && AppendU32(code) &&
           AppendString(message) && EndRecord();
}

bool ConnectionLog::WriteProtocolError(uint32_t code, const char* message) {
    return Truncate() && WriteErrorHead(kLogProtocolError) && AppendTime() && AppendU32(code) &&
           AppendString(message) && EndRecord();
}

bool ConnectionLog::WriteJobFailure(LogJobReference job, uint32_t code, const char* message) {
    return ApplyFiller() && WholeRecord([&] {
               return WriteErrorHead(kLogJobFailure) && WriteJobReference(job) && AppendTime() &&
                      AppendU32(code) && AppendString(message) && EndRecord();
           });
}

bool ConnectionLog::WriteJobFileFailure(LogJobReference job, uint32_t code, const char* message,
                                        const char* subject) {
    return ApplyFiller() && WholeRecord([&] {
               return WriteErrorHead(kLogJobFileFailure) && WriteJobReference(job) && AppendTime() &&
                      AppendU32(code) && AppendString(message) && AppendString(subject) && EndRecord();
           });
}

bool ConnectionLog::WriteInputArchiveFailure(LogJobReference job, uint32_t code,
                                             const char* const* chain, uint32_t chainCount,
                                             const char* jobMessage, const char* path) {
    return ApplyFiller() && WholeRecord([&] {
               return WriteErrorHead(kLogInputArchiveFailure) && WriteJobReference(job) &&
                      AppendTime() && AppendU32(code) && WriteChain(chain, chainCount) &&
                      AppendString(jobMessage) && AppendString(path) && EndRecord();
           });
}

bool ConnectionLog::WriteOutputArchiveFailure(LogJobReference job, uint32_t code,
                                              const char* const* chain, uint32_t chainCount,
                                              const char* path) {
    return ApplyFiller() && WholeRecord([&] {
               return WriteErrorHead(kLogOutputArchiveFailure) && WriteJobReference(job) &&
                      AppendTime() && AppendU32(code) && WriteChain(chain, chainCount) &&
                      AppendString(path) && EndRecord();
           });
}

bool ConnectionLog::WriteAbandonedEndJob(uint8_t jobId, uint32_t jobState) {
    const uint8_t head[2] = {5, jobId};
    return ApplyFiller() && WholeRecord([&] {
               return Write(head, 2) && AppendU32(0) && AppendEndJobFields(jobState) && EndRecord();
           });
}

bool ConnectionLog::Close() {
    if (stream == nullptr) return true;
    const bool flushed = platform::FlushStream(stream, error);
    bool closed = true;
    if (file != nullptr && file->stream == stream) {
        TempFileTable::Close(file);
    } else {
        int closeError = 0;
        closed = platform::CloseStream(stream, closeError);
        if (!closed && flushed) error = closeError;
    }
    stream = nullptr;
    return flushed && closed;
}

TempLog* ConnectionLog::HandOver() {
    Close();
    TempLog* handed = file;
    file = nullptr;
    return handed;
}

}  // namespace kestrel
