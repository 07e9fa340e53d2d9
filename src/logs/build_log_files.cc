// Job records and their temporary files: the job table, the open-file
// budget kept by closing the least recently used records' files, and the
// command files that join the job log when the command is closed.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "logs/build_log_records.h"
#include "logs/job_key.h"
#include "platform/clock.h"
#include "runtime/messages.h"
#include "runtime/temp_files.h"
#include "runtime/utf8.h"

namespace kestrel {

namespace {

constexpr uint32_t kFirstRecordCapacity = 10;
constexpr uint32_t kCopyChunk = 512;
constexpr uint32_t kDescriptionUnits = kTempLogDescriptionUnits - 1;

uint32_t FilesOf(const JobRecord& job) {
    return (job.jobLog != nullptr ? 1u : 0u) + (job.commandOpen ? 2u : 0u);
}

void Unlink(BuildLogConnection& c, JobRecord& job) {
    if (!job.inRecent) return;
    (job.recentPrevious ? job.recentPrevious->recentNext : c.recentHead) = job.recentNext;
    (job.recentNext ? job.recentNext->recentPrevious : c.recentTail) = job.recentPrevious;
    job.recentPrevious = job.recentNext = nullptr;
    job.inRecent = false;
}

void PushFront(BuildLogConnection& c, JobRecord& job) {
    job.recentPrevious = nullptr;
    job.recentNext = c.recentHead;
    (c.recentHead ? c.recentHead->recentPrevious : c.recentTail) = &job;
    c.recentHead = &job;
    job.inRecent = true;
}

bool Reopen(TempLog* file, int& error) { return file == nullptr || TempFileTable::Reopen(file, error); }

void CloseFile(TempLog* file) {
    if (file != nullptr) TempFileTable::Close(file);
}

// The job name as a temporary file's description: valid UTF-8 of at most
// 255 UTF-16 units, so that a long or broken name cannot stop the log.
void MakeDescription(const OwnedText& name, char* out) {
    uint32_t units = 0;
    uint32_t written = 0;
    for (uint32_t at = 0; at < name.length;) {
        uint32_t code = 0xFFFD;
        uint32_t subpart = 1;
        const uint32_t taken = DecodeUtf8(reinterpret_cast<const uint8_t*>(name.bytes) + at, name.length - at, code, &subpart);
        const uint32_t need = code >= 0x10000 ? 2 : 1;
        if (units + need > kDescriptionUnits) break;
        written += EncodeUtf8(taken ? code : 0xFFFD, reinterpret_cast<uint8_t*>(out) + written);
        units += need;
        at += taken ? taken : subpart;
    }
    out[written] = '\0';
}

TempLog* CreateJobFile(const JobRecord& job, const char* kind) {
    char description[kDescriptionUnits * 3 + 1];
    MakeDescription(job.jobName, description);
    TempLog* file = ProcessTempFiles().Create(description, kind);
    if (file == nullptr) PostMessageText(kInsufficientMemoryForClient);
    return file;
}

bool CopyFileInto(TempLog* from, XmlWriter& to) {
    std::FILE* stream = from->stream;
    if (std::fflush(stream) != 0 || std::fseek(stream, 0, SEEK_SET) != 0) return false;
    char chunk[kCopyChunk];
    size_t count;
    while ((count = std::fread(chunk, 1, sizeof chunk, stream)) > 0) to.Raw(chunk, count);
    return std::ferror(stream) == 0 && to.ok();
}

void DeleteFile(TempLog*& file) {
    if (file != nullptr) TempFileTable::Delete(file);
    file = nullptr;
}

}  // namespace

bool OwnedText::Set(const uint8_t* text, uint32_t count) {
    char* copy = static_cast<char*>(std::malloc(static_cast<size_t>(count) + 1));
    if (copy == nullptr) return false;
    if (count > 0) std::memcpy(copy, text, count);
    copy[count] = '\0';
    Clear();
    bytes = copy;
    length = count;
    return true;
}

bool OwnedText::Set(const char* text) {
    return Set(reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(std::strlen(text)));
}

void OwnedText::Clear() {
    std::free(bytes);
    bytes = nullptr;
    length = 0;
}

LogAction StopWithWriteFailure() {
    PostMessageText(kBuildLogWriteFailed);
    return LogAction::Stop;
}

LogAction StopWithMemoryFailure() {
    PostMessageText(kInsufficientMemoryForClient);
    return LogAction::Stop;
}

int32_t ErrorTimeBias(const BuildLogSettings& settings) {
    return settings.fixedErrorBias ? settings.errorBias : platform::TimeZoneBiasMinutes();
}

JobRecord* FindJob(BuildLogConnection& c, uint8_t jobId) {
    char key[3];
    MakeJobKey(jobId, key);
    return static_cast<JobRecord*>(c.jobs.Find(key));
}

JobRecord* NewJobRecord(BuildLogConnection& c, uint8_t jobId) {
    if (c.recordCount == c.recordCapacity) {
        const uint32_t capacity = c.recordCapacity ? c.recordCapacity * 2 : kFirstRecordCapacity;
        auto* grown = static_cast<JobRecord**>(std::realloc(c.records, capacity * sizeof(JobRecord*)));
        if (grown == nullptr) return nullptr;
        c.records = grown;
        c.recordCapacity = capacity;
    }
    auto* job = new (std::nothrow) JobRecord{};
    if (job == nullptr) return nullptr;
    job->jobId = jobId;
    MakeJobKey(jobId, job->key);
    job->out.name = "out";
    job->err.name = "err";
    // The key may still lead to an earlier job of the same ID, which stays
    // as it is; only the table entry moves to the new record.
    c.jobs.Remove(job->key);
    if (!c.jobs.Insert(job->key, job, nullptr)) {
        delete job;
        return nullptr;
    }
    c.records[c.recordCount++] = job;
    return job;
}

void CloseJobFiles(BuildLogConnection& c, JobRecord& job) {
    if (job.filesOpen) {
        CloseFile(job.jobLog);
        CloseFile(job.stdoutFile);
        CloseFile(job.stderrFile);
        c.openFiles -= FilesOf(job);
        job.filesOpen = false;
    }
    Unlink(c, job);
}

void MakeRoom(BuildLogConnection& c, const JobRecord* keep, uint32_t opening) {
    while (c.openFiles + opening > c.openLimit && c.recentTail != nullptr && c.recentTail != keep)
        CloseJobFiles(c, *c.recentTail);
}

bool UseJob(BuildLogConnection& c, JobRecord& job) {
    Unlink(c, job);
    PushFront(c, job);
    if (!job.filesOpen) {
        MakeRoom(c, &job, FilesOf(job));
        int error = 0;
        if (!Reopen(job.jobLog, error) || !Reopen(job.stdoutFile, error) || !Reopen(job.stderrFile, error)) {
            CloseFile(job.jobLog);
            CloseFile(job.stdoutFile);
            CloseFile(job.stderrFile);
            const int32_t code = error;
            PostMessageText(kTempFileReopenFailed, {{FormatI32, &code}});
            std::fflush(stderr);
            return false;
        }
        job.filesOpen = true;
        c.openFiles += FilesOf(job);
    }
    return true;
}

bool CreateCommandFiles(BuildLogConnection& c, JobRecord& job) {
    MakeRoom(c, &job, 2);
    job.stdoutFile = CreateJobFile(job, "stdout");
    if (job.stdoutFile == nullptr) return false;
    job.stderrFile = CreateJobFile(job, "stderr");
    if (job.stderrFile == nullptr) {
        DeleteFile(job.stdoutFile);
        return false;
    }
    job.out.file = job.stdoutFile;
    job.err.file = job.stderrFile;
    job.commandOpen = true;
    if (job.filesOpen) c.openFiles += 2;
    return true;
}

LogAction CloseCommand(BuildLogConnection& c, JobRecord& job) {
    if (!job.commandOpen) return LogAction::Continue;
    XmlWriter log(job.jobLog->stream);
    const bool copied = CopyFileInto(job.stdoutFile, log) && CopyFileInto(job.stderrFile, log);
    DeleteFile(job.stdoutFile);
    DeleteFile(job.stderrFile);
    if (job.filesOpen) c.openFiles -= 2;
    job.commandOpen = false;
    ResetOutput(job.out);
    ResetOutput(job.err);
    job.out.file = job.err.file = nullptr;
    if (!copied || !log.Raw("    </kv:command>\n").ok()) return StopWithWriteFailure();
    return LogAction::Continue;
}

LogAction FinishJobs(BuildLogConnection& c) {
    for (uint32_t i = 0; i < c.recordCount; ++i) {
        JobRecord& job = *c.records[i];
        if (job.commandOpen) {
            if (!UseJob(c, job)) return LogAction::Stop;
            const LogAction closed = CloseCommand(c, job);
            if (closed != LogAction::Continue) return closed;
        }
        CloseJobFiles(c, job);
    }
    return LogAction::Continue;
}

bool CreateJobLog(JobRecord& job) {
    job.jobLog = CreateJobFile(job, "joblog");
    return job.jobLog != nullptr;
}

void DestroyJobRecord(JobRecord* job) {
    DeleteFile(job->jobLog);
    DeleteFile(job->stdoutFile);
    DeleteFile(job->stderrFile);
    FreeOutput(job->out);
    FreeOutput(job->err);
    job->machineName.Clear();
    job->jobName.Clear();
    job->errorReason.Clear();
    job->errorPath.Clear();
    job->developmentEnvironment.Clear();
    delete job;
}

}  // namespace kestrel
